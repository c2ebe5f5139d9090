// hdiutil reads an image's signature trailer and squashfs superblock before a file-system server
// sees the file: any content must be refused (or accepted) with an error, never crash or hang.
// The seeds are signed images, so mutations reach the superblock fields and the trailer.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/CodeSigning.h"
#include "platform/DiskImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = [] {
    const char* base = std::getenv("TMPDIR");  // NOLINT(concurrency-mt-unsafe)
    return std::string(base && *base ? base : "/tmp") + "/bramlow-fuzz-disk-image-" +
           std::to_string(::getpid()) + ".dmg";
  }();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    const auto image = platform::diskimage::openImage(path);
    // What passed must be inside the signed content.
    if (image.superblock.bytesUsed > image.contentLength) std::abort();
  } catch (const platform::diskimage::DiskImageError&) {
  } catch (const platform::codesign::CodeSigningError&) {
  }
  ::unlink(path.c_str());
  return 0;
}
