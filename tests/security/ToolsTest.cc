// The built codesign, spctl and bramlow-release tools, driven from their command lines over the
// bundle this project builds.
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/ec.h>
#include <openssl/pem.h>

#include <atomic>
#include <cctype>
#include <thread>

#include "platform/OpenSsl.h"
#include "tests/security/SigningTestSupport.h"

namespace {
namespace fs = std::filesystem;
namespace release = bramlow::release;
using namespace testing_support;
using Args = std::vector<std::string>;

using platform::openssl::UniquePtr;

// The certificate's ECDSA signature (r, s) rewritten as (r, n - s) on P-256: the same certificate,
// as valid as before, with another encoding and so another fingerprint.
void reencode(X509* certificate) {
  const ASN1_BIT_STRING* bits = nullptr;
  X509_get0_signature(&bits, nullptr, certificate);
  const unsigned char* cursor = ASN1_STRING_get0_data(bits);
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> signature(
      d2i_ECDSA_SIG(nullptr, &cursor, ASN1_STRING_length(bits)), ECDSA_SIG_free);
  BIGNUM* n = nullptr;
  BN_hex2bn(&n, "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551");
  UniquePtr<BIGNUM> order(n);
  ASSERT_TRUE(signature && n);
  ASSERT_EQ(BN_sub(n, n, ECDSA_SIG_get0_s(signature.get())), 1);
  ASSERT_EQ(
      ECDSA_SIG_set0(signature.get(), BN_dup(ECDSA_SIG_get0_r(signature.get())), order.release()),
      1);
  unsigned char* der = nullptr;
  const int length = i2d_ECDSA_SIG(signature.get(), &der);
  UniquePtr<unsigned char> owner(der);
  ASSERT_EQ(ASN1_BIT_STRING_set(const_cast<ASN1_BIT_STRING*>(bits), der, length), 1);
}

// An identity file with its leaf re-encoded: what the holder of a revoked key can sign with.
std::string reencodedIdentity(const std::string& identityPem) {
  const std::size_t begin = identityPem.find("-----BEGIN CERTIFICATE-----");
  const std::size_t end = identityPem.find("-----END CERTIFICATE-----\n", begin) + 26;
  UniquePtr<BIO> bio(BIO_new_mem_buf(identityPem.data() + begin, static_cast<int>(end - begin)));
  UniquePtr<X509> leaf(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  EXPECT_TRUE(leaf);
  reencode(leaf.get());
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(out.get(), leaf.get());
  char* pem = nullptr;
  const long size = BIO_get_mem_data(out.get(), &pem);
  return identityPem.substr(0, begin) + std::string(pem, std::size_t(size)) +
         identityPem.substr(end);
}

// A DER CMS signature whose carried leaf is re-encoded, everything else untouched: what anyone
// can do to code signed by a revoked leaf, without its key.
std::string withReencodedLeaf(const std::string& der) {
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  UniquePtr<CMS_ContentInfo> cms(d2i_CMS_ContentInfo(nullptr, &cursor, long(der.size())));
  EXPECT_TRUE(cms);
  UniquePtr<STACK_OF(X509)> certificates(CMS_get1_certs(cms.get()));  // the CMS's own objects
  CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
  for (int i = 0; i < sk_X509_num(certificates.get()); ++i) {
    X509* certificate = sk_X509_value(certificates.get(), i);
    if (CMS_SignerInfo_cert_cmp(signer, certificate) == 0) reencode(certificate);
  }
  unsigned char* out = nullptr;
  const int length = i2d_CMS_ContentInfo(cms.get(), &out);
  UniquePtr<unsigned char> owner(out);
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

class ToolsTest : public ::testing::Test {
 protected:
  ToolsTest() : root_(dir_.path() / "root") { installAnchors(root_); }

  RunResult run(const char* tool, Args arguments) {
    arguments.insert(arguments.begin(), tool);
    return runProgram(arguments, {"BRAMLOW_PLATFORM_ROOT=" + root_.string()});
  }
  RunResult codesign(Args arguments) { return run(BRAMLOW_CODESIGN, std::move(arguments)); }
  RunResult assess(Args form, const fs::path& path) {
    form.push_back(path.string());
    return run(BRAMLOW_SPCTL, std::move(form));
  }
  void sign(const fs::path& code, const char* identity, Args more = {}) {
    more.insert(more.begin(), {"--sign", identityFile(identity).string()});
    more.push_back(code.string());
    const RunResult result = codesign(more);
    EXPECT_EQ(result.exitCode, 0) << code << result.err;
  }

  // A copy of the built application, signed inside out with the codesign tool.
  fs::path builtApp(const std::string& folder,
                    const char* identity = release::kDeveloperIdIdentity) {
    const fs::path app = dir_.path() / folder / "Bramlow for Safari.app";
    fs::create_directories(app.parent_path());
    fs::copy(BRAMLOW_APP_DIR, app, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    const fs::path extension = app / "Contents/PlugIns/Bramlow for Safari Extension.appex";
    for (const fs::path& code :
         {extension / "Contents/XPCServices/BramlowUpdater.xpc", extension, app}) {
      sign(code, identity);
    }
    return app;
  }

  const Args execute_ = {"--assess", "--type", "execute"};
  const Args open_ = {"--assess", "--type", "open", "--context", "context:primary-signature"};
  TempDir dir_;
  fs::path root_;
  fs::path revoked_ = root_ / "System/Library/Security/revoked.txt";
};

TEST_F(ToolsTest, SpctlAssessesApplicationsAndImages) {
  const fs::path good = builtApp("good");
  const fs::path otherTeam = builtApp("other-team", release::kOtherTeamIdentity);
  const fs::path development = builtApp("development", release::kDevelopmentIdentity);
  const fs::path image = dir_.path() / "release.dmg";
  writeFile(image, std::string(100000, 'x'));
  sign(image, release::kDeveloperIdIdentity, {"--identifier", "release"});

  const struct {
    const char* name;
    const Args& form;
    fs::path path;
    bool accepted;
  } rows[] = {
      {"signed application", execute_, good, true},
      {"any Developer ID team", execute_, otherTeam, true},
      {"development certificate", execute_, development, false},
      {"signed image", open_, image, true},
      {"image as an application", execute_, image, false},
      {"application as an image", open_, good, false},
  };
  for (const auto& row : rows) {
    const RunResult result = assess(row.form, row.path);
    EXPECT_EQ(result.exitCode, row.accepted ? 0 : 3) << row.name << result.err;
  }

  // A line names a leaf however its fingerprint is written, "#" comments aside. A line that says
  // more, or a list that cannot be read, refuses everything rather than accept a leaf it may name.
  const std::string fingerprint = leafFingerprint(release::kDeveloperIdIdentity);
  std::string upper;  // with colons
  for (std::size_t i = 0; i < fingerprint.size(); ++i)
    upper += std::string(i % 2 || !i ? "" : ":") + char(std::toupper(fingerprint[i]));
  const struct {
    const char* name;
    std::string list;  // empty: a folder in the list's place
    int good, otherTeam;
  } lists[] = {
      {"the leaf, upper case with colons, comments", "# revoked\n\n" + upper + "  # bad\n", 3, 0},
      {"a truncated fingerprint", fingerprint.substr(0, 40) + "\n", 3, 3},
      {"a list that exists but cannot be read", "", 3, 3},
  };
  for (const auto& row : lists) {
    fs::remove_all(revoked_);
    row.list.empty() ? void(fs::create_directories(revoked_ / "entry"))
                     : writeFile(revoked_, row.list);
    EXPECT_EQ(assess(execute_, good).exitCode, row.good) << row.name;
    EXPECT_EQ(assess(execute_, otherTeam).exitCode, row.otherTeam) << row.name;
  }
}

// A revoked leaf stays revoked in its other encoding, whether anyone swaps it into code it signed
// (the signature binds its own leaf) or its key's holder signs anew with it (the list names what
// the issuer signed). The list's line comes from the publishing tool, for either encoding.
TEST_F(ToolsTest, RevokedLeafIsRefusedInEveryEncoding) {
  const fs::path identity = identityFile(release::kDeveloperIdIdentity);
  writeFile(identitiesFolder() / "reencoded.pem", reencodedIdentity(readFile(identity)));
  const RunResult line = run(BRAMLOW_RELEASE, {"revoke", identity.string()});
  ASSERT_EQ(line.exitCode, 0) << line.err;
  EXPECT_EQ(run(BRAMLOW_RELEASE, {"revoke", identityFile("reencoded.pem").string()}).out, line.out);

  const fs::path swappedApp = builtApp("swapped");
  const fs::path signature = swappedApp / "Contents/_CodeSignature/CodeSignature";
  writeFile(signature, withReencodedLeaf(readFile(signature)));
  const fs::path resignedImage = dir_.path() / "resigned.dmg";
  writeFile(resignedImage, std::string(5000, 'i'));
  sign(resignedImage, "reencoded.pem", {"--identifier", "release"});

  const std::string team = "anchor apple generic and certificate leaf[subject.OU] = \"TESTTEAM01\"";
  writeFile(revoked_, line.out);
  EXPECT_EQ(assess(execute_, swappedApp).exitCode, 3);
  EXPECT_EQ(assess(open_, resignedImage).exitCode, 3);
  // codesign does not consult the list: only the swapped leaf's broken binding fails it.
  EXPECT_EQ(codesign({"--verify", "-R", team, swappedApp.string()}).exitCode, 1);
  EXPECT_EQ(codesign({"--verify", "-R", team, resignedImage.string()}).exitCode, 0);
}

// The leaf looked up in the revocation list must be the one whose signature was validated, even
// while the signature on disk is being swapped for a self-signed one over the same seal.
TEST_F(ToolsTest, SpctlLooksUpTheLeafItValidated) {
  const fs::path revokedApp = builtApp("revoked");
  // The same seal, its outer signature made by a self-signed identity.
  const fs::path selfSigned = dir_.path() / "self.app";
  fs::copy(revokedApp, selfSigned, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  sign(selfSigned, release::kSelfSignedIdentity);
  const std::string seal = "Contents/_CodeSignature/";
  ASSERT_EQ(readFile(revokedApp / (seal + "CodeResources")),
            readFile(selfSigned / (seal + "CodeResources")));
  writeFile(revoked_, leafFingerprint(release::kDeveloperIdIdentity) + "\n");
  const std::string signatures[] = {readFile(revokedApp / (seal + "CodeSignature")),
                                    readFile(selfSigned / (seal + "CodeSignature"))};
  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    for (std::size_t i = 0; !stop; ++i) {
      writeFile(dir_.path() / "next", signatures[i % 2]);
      fs::rename(dir_.path() / "next", revokedApp / (seal + "CodeSignature"));
    }
  });
  int accepted = 0;
  for (int i = 0; i < 30; ++i) {
    if (assess(execute_, revokedApp).exitCode == 0) ++accepted;
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(accepted, 0);
}

}  // namespace
