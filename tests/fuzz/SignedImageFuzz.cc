// A downloaded disk image is checked before anything trusts it: any file content must be
// refused (or accepted) with a status, never crash or hang the checker. The seed is an image
// signed by a test identity, so mutations reach the trailer, the CMS and the signed list.
#include <cstdint>
#include <string_view>

#include "platform/CodeSigning.h"
#include "tests/support/TestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace codesign = platform::codesign;
  static const testing_support::TempDir dir;
  const auto path = dir.path() / "input.dmg";
  testing_support::writeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  try {
    codesign::StaticCode::createWithPath(path).checkValidity(
        codesign::kCheckAllArchitectures | codesign::kCheckNestedCode | codesign::kStrictValidate,
        nullptr);
  } catch (const codesign::CodeSigningError&) {
  }
  return 0;
}
