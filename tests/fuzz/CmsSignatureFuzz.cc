// A bundle's detached signature (Contents/_CodeSignature/CodeSignature) is parsed and checked
// before its signer is known to be trusted. The bundle's seal stays as signed at start; the seed is
// a valid signature over it by an identity of another root, so mutations reach the signer, its
// bound certificate and the chain: verification and display end in a status, never a crash.
#include <cstdint>
#include <string_view>

#include "platform/CodeSigning.h"
#include "tests/fuzz/SealedBundle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace testing_support;
  namespace codesign = platform::codesign;
  static const fuzzing::SealedBundleRoot fixture(true);
  writeFile(fixture.bundle / "Contents/_CodeSignature/CodeSignature",
            std::string_view(reinterpret_cast<const char*>(data), size));
  checkStatus(fixture.bundle);
  try {
    codesign::StaticCode::createWithPath(fixture.bundle).signingInformation();
  } catch (const codesign::CodeSigningError&) {
  }
  return 0;
}
