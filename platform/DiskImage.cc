#include "platform/DiskImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/FlatFileTrailer.h"
#include "platform/Process.h"

namespace platform::diskimage {
namespace {

constexpr std::uint32_t kMagic = 0x73717368;
constexpr std::uint64_t kAbsentTable = ~std::uint64_t{0};
constexpr std::uint16_t kLastCompression = 6;  // gzip, lzma, lzo, xz, lz4, zstd

std::uint64_t little(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) value = (value << 8) | bytes[at + i - 1];
  return value;
}

[[noreturn]] void refuse(const std::string& why) { throw DiskImageError(why); }

}  // namespace

Superblock checkSuperblock(std::span<const std::uint8_t> bytes, std::uint64_t contentLength) {
  if (bytes.size() < kSuperblockSize) refuse("the image is too short for a file system");
  if (little(bytes, 0, 4) != kMagic) refuse("the image holds no squashfs file system");
  if (little(bytes, 28, 2) != 4 || little(bytes, 30, 2) != 0) {
    refuse("the file system has an unsupported version");
  }
  Superblock superblock;
  superblock.blockSize = static_cast<std::uint32_t>(little(bytes, 12, 4));
  const std::uint64_t blockLog = little(bytes, 22, 2);
  if (blockLog < 12 || blockLog > 20 || superblock.blockSize != (std::uint32_t{1} << blockLog)) {
    refuse("the file system has an invalid block size");
  }
  const std::uint64_t compression = little(bytes, 20, 2);
  if (compression == 0 || compression > kLastCompression) {
    refuse("the file system has an unknown compression");
  }
  superblock.bytesUsed = little(bytes, 40, 8);
  if (superblock.bytesUsed < kSuperblockSize || superblock.bytesUsed > contentLength) {
    refuse("the file system runs beyond the signed content");
  }
  // Required tables (inode, directory, id) and optional ones (xattr, fragment, export) must start
  // inside the file system, in the order mksquashfs writes them.
  const std::uint64_t inodeTable = little(bytes, 64, 8);
  const std::uint64_t directoryTable = little(bytes, 72, 8);
  const std::uint64_t idTable = little(bytes, 48, 8);
  if (inodeTable < kSuperblockSize || directoryTable < inodeTable || idTable < directoryTable ||
      idTable >= superblock.bytesUsed) {
    refuse("the file system's tables are out of place");
  }
  for (const std::size_t at : {56U, 80U, 88U}) {
    const std::uint64_t table = little(bytes, at, 8);
    if (table != kAbsentTable && (table < directoryTable || table >= superblock.bytesUsed)) {
      refuse("the file system's tables are out of place");
    }
  }
  return superblock;
}

OpenedImage openImage(const std::filesystem::path& path) {
  OpenedImage image;
  // Non-blocking, so a fifo put in place of the image cannot stall the check.
  image.fd =
      UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
  if (!image.fd) refuse(path.string() + ": " + std::strerror(errno));
  struct stat status {};
  if (::fstat(image.fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    refuse(path.string() + ": not a regular file");
  }
  // The trailer of the file just opened, not of whatever the path names by now.
  image.contentLength = codesign::flatFileContentLength(image.fd.get());
  std::array<std::uint8_t, kSuperblockSize> header{};
  std::size_t got = 0;
  while (got < header.size()) {
    const ssize_t count =
        ::pread(image.fd.get(), header.data() + got, header.size() - got, static_cast<off_t>(got));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) refuse(path.string() + ": " + std::strerror(errno));
    if (count == 0) break;
    got += static_cast<std::size_t>(count);
  }
  image.superblock =
      checkSuperblock(std::span<const std::uint8_t>(header.data(), got), image.contentLength);
  return image;
}

void createImage(const std::filesystem::path& source, const std::filesystem::path& image) {
  struct stat existing {};
  if (::lstat(image.c_str(), &existing) == 0) refuse(image.string() + ": already exists");
  struct stat folder {};
  if (::stat(source.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
    refuse(source.string() + ": not a folder");
  }
  // Owners are the installing user's once copied out, so the image records root rather than the
  // builder; extended attributes are not part of a bundle's seal. Times are fixed (or taken from
  // SOURCE_DATE_EPOCH, which mksquashfs refuses to combine with the options) so that a build is
  // reproducible.
  std::vector<std::string> arguments = {source.string(), image.string(), "-noappend", "-no-xattrs",
                                        "-all-root",     "-no-exports",  "-comp",     "gzip",
                                        "-quiet",        "-no-progress"};
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");  // NOLINT(concurrency-mt-unsafe)
  if (epoch == nullptr || *epoch == '\0') {
    arguments.insert(arguments.end(), {"-mkfs-time", "0", "-all-time", "0"});
  }
  const ProcessResult result = runLeavingDaemons("/usr/bin/mksquashfs", arguments);
  if (result.succeeded()) return;
  std::string text = result.standardError;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  refuse("mksquashfs failed" + (text.empty() ? "" : ": " + text));
}

}  // namespace platform::diskimage
