// A downloaded disk image is checked before anything trusts it: any file content must be
// refused (or accepted) with a status, never crash or hang the checker. The seed is an image
// signed by a test identity, so mutations reach the trailer, the CMS and the signed list.
#include <cstdint>
#include <string_view>

#include "tests/security/SigningTestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const testing_support::TempDir dir;
  const auto path = dir.path() / "input.dmg";
  testing_support::writeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  testing_support::checkStatus(path);
  return 0;
}
