// A bundle's seal (Contents/_CodeSignature/CodeResources) is read back by every verification. Each
// input is signed here by a trusted identity, so the seal's reader and everything that judges the
// bundle by it see any content: the check must end in a status, never crash or hang.
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdint>
#include <string>

#include "platform/CodeSigning.h"
#include "platform/OpenSsl.h"
#include "tests/fuzz/SealedBundle.h"
#include "tests/security/SigningTestSupport.h"

namespace {
namespace codesign = platform::codesign;
using platform::openssl::UniquePtr;
using namespace testing_support;

struct Fixture : fuzzing::SealedBundleRoot {
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> leaf;
  UniquePtr<STACK_OF(X509)> intermediates{sk_X509_new_null()};
  codesign::Requirement requirement = codesign::Requirement::compile(
      std::string("identifier \"") + fuzzing::kSealedIdentifier + "\" and anchor apple generic");

  Fixture() {
    const std::string pem = readFile(identityFile(bramlow::release::kDeveloperIdIdentity));
    UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    leaf.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    while (X509* issuer = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
      sk_X509_push(intermediates.get(), issuer);
    }
    ERR_clear_error();  // the end of the PEM text, which the checks must not find later
  }

  // A detached signature over the seal, as the signing code makes it.
  std::string sign(const std::string& seal) const {
    UniquePtr<BIO> input(BIO_new_mem_buf(seal.data(), static_cast<int>(seal.size())));
    UniquePtr<CMS_ContentInfo> cms(
        CMS_sign(leaf.get(), key.get(), intermediates.get(), input.get(),
                 CMS_BINARY | CMS_NOSMIMECAP | CMS_CADES | CMS_DETACHED));
    unsigned char* der = nullptr;
    const int length = cms ? i2d_CMS_ContentInfo(cms.get(), &der) : 0;
    UniquePtr<unsigned char> owner(der);
    if (length <= 0) __builtin_trap();
    return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Fixture fixture;
  const std::string seal(reinterpret_cast<const char*>(data), size);
  writeFile(fixture.bundle / "Contents/_CodeSignature/CodeResources", seal);
  writeFile(fixture.bundle / "Contents/_CodeSignature/CodeSignature", fixture.sign(seal));
  try {
    codesign::StaticCode::createWithPath(fixture.bundle)
        .checkValidity(codesign::kCheckAllArchitectures | codesign::kCheckNestedCode |
                           codesign::kStrictValidate,
                       &fixture.requirement);
  } catch (const codesign::CodeSigningError&) {
  }
  return 0;
}
