// A downloaded disk image is checked before anything trusts it: any file content must be
// refused (or accepted) with a status, never crash or hang the checker. The seed is an image
// signed by a test identity, so mutations reach the trailer, the CMS and the signed list.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/CodeSigning.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = [] {
    const char* base = std::getenv("TMPDIR");  // NOLINT(concurrency-mt-unsafe)
    return std::string(base && *base ? base : "/tmp") + "/bramlow-fuzz-image-" +
           std::to_string(::getpid()) + ".dmg";
  }();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  namespace codesign = platform::codesign;
  try {
    codesign::StaticCode::createWithPath(path).checkValidity(
        codesign::kCheckAllArchitectures | codesign::kCheckNestedCode | codesign::kStrictValidate,
        nullptr);
  } catch (const codesign::CodeSigningError&) {
  }
  ::unlink(path.c_str());
  return 0;
}
