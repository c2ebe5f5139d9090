// hdiutil reads an image's signature trailer and squashfs superblock before a file-system server
// sees the file: any content must be refused (or accepted) with an error, never crash or hang.
// The seeds are signed images, so mutations reach the superblock fields and the trailer.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/CodeSigning.h"
#include "platform/DiskImage.h"
#include "tests/support/TestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const testing_support::TempDir dir;
  const auto path = dir.path() / "input.dmg";
  testing_support::writeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  try {
    const auto image = platform::diskimage::openImage(path);
    // What passed must be inside the signed content.
    if (image.superblock.bytesUsed > image.contentLength) std::abort();
  } catch (const platform::diskimage::DiskImageError&) {
  } catch (const platform::codesign::CodeSigningError&) {
  }
  return 0;
}
