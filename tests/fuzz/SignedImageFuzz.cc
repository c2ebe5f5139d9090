// A downloaded disk image is checked before anything trusts it: any file content must be
// refused (or accepted) with a status, never crash or hang the checker. The seed is an image
// signed by a test identity, so mutations reach the trailer, the CMS and the signed list.
#include "tests/fuzz/Fuzz.h"
#include "tests/security/SigningTestSupport.h"

void fuzzing::fuzzOne(std::string_view input) {
  static const testing_support::TempDir dir;
  testing_support::writeFile(dir.path() / "input.dmg", input);
  testing_support::checkStatus(dir.path() / "input.dmg");
}
