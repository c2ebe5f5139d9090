#include "platform/diskimage/DiskImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/diskimage/FlatFileTrailer.h"
#include "platform/env/Errors.h"
#include "platform/process/Process.h"

namespace platform::diskimage {
namespace {

[[noreturn]] void refuse(const std::string& why) { throw DiskImageError(why); }

}  // namespace

Superblock checkSuperblock(std::span<const std::uint8_t> bytes, std::uint64_t contentLength) {
  Superblock superblock;
  if (const char* problem =
          superblockProblem(bytes.data(), bytes.size(), contentLength, superblock)) {
    refuse(problem);
  }
  return superblock;
}

OpenedImage openImage(const std::filesystem::path& path) {
  OpenedImage image;
  // Non-blocking, so a fifo put in place of the image cannot stall the check.
  image.fd =
      UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
  if (!image.fd) refuse(errnoMessage(errno, path.string()));
  struct stat status {};
  if (::fstat(image.fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    refuse(path.string() + ": not a regular file");
  }
  // The trailer of the file just opened, not of whatever the path names by now.
  image.contentLength = codesign::flatFileContentLength(image.fd.get());
  std::array<std::uint8_t, kSuperblockSize> header{};
  std::size_t got = 0;
  while (got < header.size()) {
    const ssize_t count = retryOnEintr([&] {
      return ::pread(image.fd.get(), header.data() + got, header.size() - got,
                     static_cast<off_t>(got));
    });
    if (count < 0) refuse(errnoMessage(errno, path.string()));
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
