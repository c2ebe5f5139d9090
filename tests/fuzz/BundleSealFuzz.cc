// A bundle's seal (Contents/_CodeSignature/CodeResources) is read back by every verification. Each
// input is signed here by a trusted identity, so the seal's reader and everything that judges the
// bundle by it see any content: the check must end in a status, never crash or hang.
#include "tests/fuzz/SealedBundle.h"

void fuzzing::fuzzOne(std::string_view seal) {
  using namespace testing_support;
  static const SealedBundleRoot fixture;
  static const std::string requirement =
      std::string("identifier \"") + kSealedIdentifier + "\" and anchor apple generic";
  writeFile(fixture.bundle / "Contents/_CodeSignature/CodeResources", seal);
  writeFile(fixture.bundle / "Contents/_CodeSignature/CodeSignature",
            cmsSign(bramlow::release::kDeveloperIdIdentity, seal));
  checkStatus(fixture.bundle, requirement);
}
