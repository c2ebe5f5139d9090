// A bundle's seal (Contents/_CodeSignature/CodeResources) is read back by every verification. Each
// input is signed here by a trusted identity, so the seal's reader and everything that judges the
// bundle by it see any content: the check must end in a status, never crash or hang.
#include <cstdint>
#include <string>

#include "platform/CodeSigning.h"
#include "tests/fuzz/SealedBundle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace testing_support;
  namespace codesign = platform::codesign;
  static const fuzzing::SealedBundleRoot fixture;
  static const codesign::Requirement requirement = codesign::Requirement::compile(
      std::string("identifier \"") + fuzzing::kSealedIdentifier + "\" and anchor apple generic");
  const std::string seal(reinterpret_cast<const char*>(data), size);
  writeFile(fixture.bundle / "Contents/_CodeSignature/CodeResources", seal);
  writeFile(fixture.bundle / "Contents/_CodeSignature/CodeSignature",
            cmsSign(bramlow::release::kDeveloperIdIdentity, seal));
  try {
    codesign::StaticCode::createWithPath(fixture.bundle)
        .checkValidity(codesign::kCheckAllArchitectures | codesign::kCheckNestedCode |
                           codesign::kStrictValidate,
                       &requirement);
  } catch (const codesign::CodeSigningError&) {
  }
  return 0;
}
