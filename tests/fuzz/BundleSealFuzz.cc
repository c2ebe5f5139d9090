// A bundle's seal (Contents/_CodeSignature/CodeResources) is read back by every verification. Each
// input is signed here by a trusted identity, so the seal's reader and everything that judges the
// bundle by it see any content: the check must end in a status, never crash or hang.
#include <cstdint>
#include <string>

#include "tests/fuzz/SealedBundle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace testing_support;
  static const fuzzing::SealedBundleRoot fixture;
  static const std::string requirement =
      std::string("identifier \"") + fuzzing::kSealedIdentifier + "\" and anchor apple generic";
  const std::string seal(reinterpret_cast<const char*>(data), size);
  writeFile(fixture.bundle / "Contents/_CodeSignature/CodeResources", seal);
  writeFile(fixture.bundle / "Contents/_CodeSignature/CodeSignature",
            cmsSign(bramlow::release::kDeveloperIdIdentity, seal));
  checkStatus(fixture.bundle, requirement);
  return 0;
}
