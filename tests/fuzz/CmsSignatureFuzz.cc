// A bundle's detached signature (Contents/_CodeSignature/CodeSignature) is parsed and checked
// before its signer is known to be trusted. The bundle's seal stays as signed at start; the seed is
// a valid signature over it by an identity of another root, so mutations reach the signer, its
// bound certificate and the chain: verification and display end in a status, never a crash.
#include "platform/codesign/CodeSigning.h"
#include "tests/fuzz/SealedBundle.h"

void fuzzing::fuzzOne(std::string_view signature) {
  namespace codesign = platform::codesign;
  static const SealedBundleRoot fixture(true);
  testing_support::writeFile(fixture.bundle / "Contents/_CodeSignature/CodeSignature", signature);
  testing_support::checkStatus(fixture.bundle);
  tolerating<codesign::CodeSigningError>(
      [] { codesign::StaticCode::createWithPath(fixture.bundle).signingInformation(); });
}
