// hdiutil reads an image's signature trailer and squashfs superblock before a file-system server
// sees the file: any content must be refused (or accepted) with an error, never crash or hang.
// The seeds are signed images, so mutations reach the superblock fields and the trailer.
#include "platform/codesign/CodeSigning.h"
#include "platform/diskimage/DiskImage.h"
#include "tests/fuzz/Fuzz.h"

void fuzzing::fuzzOne(std::string_view input) {
  static const testing_support::TempDir dir;
  const auto path = dir.path() / "input.dmg";
  testing_support::writeFile(path, input);
  tolerating<platform::diskimage::DiskImageError, platform::codesign::CodeSigningError>([&] {
    const auto image = platform::diskimage::openImage(path);
    // What passed must be inside the signed content.
    require(image.superblock.bytesUsed <= image.contentLength);
  });
}
