// Signatures built by hand to attack the checker: each must be refused with a status, never crash
// or hang it, whoever signed them.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <string>

#include "platform/CodeSigning.h"
#include "platform/OpenSsl.h"
#include "tests/security/SigningTestSupport.h"

namespace {
namespace fs = std::filesystem;
namespace codesign = platform::codesign;
namespace release = bramlow::release;
using platform::openssl::UniquePtr;
using namespace testing_support;

// A DER CMS SignedData over content, made with an identity file's key and leaf.
std::string cmsSign(const char* identity, const std::string& content, bool detached) {
  const std::string pem = readFile(identityFile(identity));
  UniquePtr<BIO> keyBio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  UniquePtr<EVP_PKEY> key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  UniquePtr<BIO> certBio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  UniquePtr<X509> leaf(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
  EXPECT_TRUE(key && leaf);
  UniquePtr<BIO> input(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  const unsigned int flags =
      CMS_BINARY | CMS_NOSMIMECAP | CMS_CADES | (detached ? CMS_DETACHED : 0u);
  UniquePtr<CMS_ContentInfo> cms(CMS_sign(leaf.get(), key.get(), nullptr, input.get(), flags));
  EXPECT_TRUE(cms);
  unsigned char* der = nullptr;
  const int length = i2d_CMS_ContentInfo(cms.get(), &der);
  UniquePtr<unsigned char> owner(der);
  return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
}

// A binary property list of depth nested arrays, each holding the next.
std::string deepBinaryList(std::uint32_t depth) {
  std::string out = "bplist00";
  std::string offsets;
  for (std::uint32_t i = 0; i < depth; ++i) {
    for (int b = 3; b >= 0; --b) offsets.push_back(static_cast<char>((out.size() >> (8 * b))));
    if (i + 1 == depth) {
      out.push_back('\xa0');
      break;
    }
    out.push_back('\xa1');
    for (int b = 3; b >= 0; --b) out.push_back(static_cast<char>(((i + 1) >> (8 * b)) & 0xff));
  }
  const std::uint64_t tableOffset = out.size();
  out += offsets;
  std::string trailer(32, '\0');
  trailer[6] = 4;  // offset size
  trailer[7] = 4;  // reference size
  for (int b = 0; b < 8; ++b) {
    trailer[15 - b] = static_cast<char>((std::uint64_t{depth} >> (8 * b)) & 0xff);
    trailer[31 - b] = static_cast<char>((tableOffset >> (8 * b)) & 0xff);
  }
  return out + trailer;
}

std::string deepXmlList(int depth) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  for (int i = 0; i < depth; ++i) out += "<array>";
  for (int i = 0; i < depth; ++i) out += "</array>";
  return out + "</plist>\n";
}

class HostileSignatureTest : public SigningTest {};

// The property list inside a signature is read before anyone trusts its signer, and the parser
// underneath recurses once per level of nesting.
TEST_F(HostileSignatureTest, DeeplyNestedSignedListsAreRefused) {
  const struct {
    const char* name;
    std::string list;
  } rows[] = {
      {"binary", deepBinaryList(100000)},
      {"XML", deepXmlList(300000)},
      {"XML hiding its nesting behind comments",
       [] {
         std::string list = "<plist version=\"1.0\">";
         for (int i = 0; i < 300000; ++i) list += "<array><!-- </array> -->";
         return list;
       }()},
  };
  int index = 0;
  for (const auto& row : rows) {
    const std::string name = "case" + std::to_string(index++);
    // A flat file whose signed directory is the list.
    if (row.list.size() < 900000) {
      const fs::path image = dir_.path() / (name + ".dmg");
      std::string bytes = "content";
      const std::string der = cmsSign(release::kSelfSignedIdentity, row.list, false);
      bytes += der;
      for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((der.size() >> (8 * i))));
      bytes += "CODESIGN";
      writeFile(image, bytes);
      EXPECT_EQ(checkStatus(image), codesign::Status::kSignatureInvalid) << row.name;
    }
    // A bundle whose seal is the list, signed by a trusted identity.
    const fs::path bundle = dir_.path() / (name + ".app");
    writeFile(bundle / "Contents/_CodeSignature/CodeResources", row.list);
    writeFile(bundle / "Contents/_CodeSignature/CodeSignature",
              cmsSign(release::kDeveloperIdIdentity, row.list, true));
    EXPECT_EQ(checkStatus(bundle), codesign::Status::kSignatureInvalid) << row.name;
  }
}

// A chain of bundles, each in the previous one's Contents/PlugIns, every one validly signed by a
// trusted identity: deep nesting is refused with a status, not followed until the stack runs out.
TEST_F(HostileSignatureTest, CodeNestedWithoutEndIsRefused) {
  std::vector<fs::path> bundles{dir_.path() / "Outer.app"};
  for (int level = 1; level < 40; ++level) {
    bundles.push_back(bundles.back() / "Contents/PlugIns" /
                      ("L" + std::to_string(level) + ".appex"));
  }
  for (std::size_t i = 0; i < bundles.size(); ++i) {
    writeInfoPlist(bundles[i], {{"CFBundleIdentifier", "com.example.level" + std::to_string(i)}});
    writeFile(bundles[i] / "Contents/MacOS/main", "#!level\n");
  }
  for (auto it = bundles.rbegin(); it != bundles.rend(); ++it) {
    signWith(*it, release::kDeveloperIdIdentity);
  }
  EXPECT_EQ(checkStatus(bundles[bundles.size() - 3]), codesign::Status::kSuccess);
  EXPECT_EQ(checkStatus(bundles.front()), codesign::Status::kNestedCodeInvalid);
}

}  // namespace
