#include "tests/security/SigningTestSupport.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <memory>
#include <stdexcept>

#include "platform/crypto/OpenSsl.h"

namespace testing_support {
namespace fs = std::filesystem;
namespace codesign = platform::codesign;

const fs::path& identitiesFolder() {
  static const std::unique_ptr<TempDir> folder = [] {
    auto made = std::make_unique<TempDir>();
    bramlow::release::writeTestIdentities(kTeam, made->path());
    return made;
  }();
  return folder->path();
}

void installAnchors(const fs::path& root) {
  const fs::path security = root / "System" / "Library" / "Security";
  fs::create_directories(security);
  fs::copy_file(identityFile(bramlow::release::kAnchorsFile), security / "anchors.pem",
                fs::copy_options::overwrite_existing);
}

void signWith(const fs::path& code, const char* identity,
              const std::optional<std::string>& identifier) {
  codesign::sign(code, codesign::SigningIdentity::load(identityFile(identity)), identifier);
}

void signApp(const TestApp& app, const char* identity) {
  for (const fs::path& code : {app.updaterURL, app.extensionURL, app.appURL})
    signWith(code, identity);
}

std::string cmsSign(const char* identity, std::string_view content) {
  using platform::openssl::UniquePtr;
  const std::string pem = readFile(identityFile(identity));
  UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  UniquePtr<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  UniquePtr<X509> leaf(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  UniquePtr<STACK_OF(X509)> chain(sk_X509_new_null());
  while (X509* issuer = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
    sk_X509_push(chain.get(), issuer);
  ERR_clear_error();  // the end of the PEM text, which the checks must not find later
  UniquePtr<BIO> input(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  const unsigned flags = CMS_BINARY | CMS_NOSMIMECAP | CMS_CADES | CMS_DETACHED;
  UniquePtr<CMS_ContentInfo> cms(
      key && leaf ? CMS_sign(leaf.get(), key.get(), chain.get(), input.get(), flags) : nullptr);
  unsigned char* der = nullptr;
  const int length = cms ? i2d_CMS_ContentInfo(cms.get(), &der) : 0;
  UniquePtr<unsigned char> owner(der);
  if (length <= 0) throw std::runtime_error(std::string("cannot sign with ") + identity);
  return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
}

std::string leafFingerprint(const char* identity) {
  TempDir scratch;
  const fs::path file = scratch.path() / "probe";
  writeFile(file, "probe");
  signWith(file, identity, "probe");
  return codesign::StaticCode::createWithPath(file).signingInformation().leafSha256;
}

codesign::Status checkStatus(const fs::path& path, const std::string& requirement,
                             codesign::Flags flags) {
  try {
    const codesign::StaticCode code = codesign::StaticCode::createWithPath(path);
    std::optional<codesign::Requirement> compiled;
    if (!requirement.empty()) compiled.emplace(codesign::Requirement::compile(requirement));
    code.checkValidity(flags, compiled ? &*compiled : nullptr);
    return codesign::Status::kSuccess;
  } catch (const codesign::CodeSigningError& error) {
    return error.status();
  }
}

}  // namespace testing_support
