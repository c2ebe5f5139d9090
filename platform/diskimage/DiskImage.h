// Disk images: a squashfs file system followed by the flat-file signature trailer (see
// CodeSigning.h). squashfs carries no checksums, so an image is trusted only through its digest
// and signature; these checks make sure the file system the mount reads is exactly the signed
// content, nothing of the trailer, and that its header is sane before a file-system server reads
// it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>

#include "platform/diskimage/SquashfsSuperblock.h"
#include "platform/env/Fd.h"

namespace platform::diskimage {

// An image that must not be attached; what() says why.
class DiskImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// superblockProblem (SquashfsSuperblock.h) for a squashfs 4.0 superblock; throws DiskImageError.
Superblock checkSuperblock(std::span<const std::uint8_t> bytes, std::uint64_t contentLength);

// An image opened for attaching: the descriptor (read-only, close-on-exec) stays on the file that
// was checked, whatever later happens to its path.
struct OpenedImage {
  UniqueFd fd;
  std::uint64_t contentLength = 0;
  Superblock superblock;
};

// Opens a regular file (no symbolic link, fifo or device), reads its signature trailer and checks
// its superblock. Throws DiskImageError, or codesign::CodeSigningError for a damaged trailer.
OpenedImage openImage(const std::filesystem::path& path);

// Builds an unsigned image of the folder source (mksquashfs) at image, which must not exist, with
// fixed options: owners root, no extended attributes, every time 0 or $SOURCE_DATE_EPOCH, so the
// same folder gives the same bytes. Throws DiskImageError, or std::system_error when mksquashfs
// cannot be started.
void createImage(const std::filesystem::path& source, const std::filesystem::path& image);

}  // namespace platform::diskimage
