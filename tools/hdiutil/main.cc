// hdiutil: disk images as squashfs file systems with a signature trailer.
//   hdiutil attach -readonly -nobrowse -noautoopen -mountpoint DIR IMAGE
//   hdiutil detach DIR
//   hdiutil create -srcfolder SRC IMAGE
// attach mounts the image read-only at DIR (an existing folder that is not a mount point yet) with
// squashfuse; detach unmounts it (fusermount3 -u, never forced); create builds an image of SRC
// with fixed options, so the same folder gives the same bytes. Once its checks pass, attach
// becomes squashfuse and detach fusermount3 (exec, no second process to wait for): their exit
// status and messages are the tool's. Nothing is left inheriting the caller's descriptors: the
// file-system server that outlives us gets /dev/null and the image, and gives up the caller's
// standard error when it goes to the background, once the mount is in place.
// Exit status: 0 success; 1 failure, the reason on stderr; 2 wrong usage.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/diskimage/DiskImage.h"
#include "platform/env/Errors.h"
#include "platform/process/Process.h"

namespace {
namespace fs = std::filesystem;

// The Linux tools behind the stand-in, from the real system (not the platform root).
constexpr const char* kSquashfuse = "/usr/bin/squashfuse";
constexpr const char* kFusermount = "/usr/bin/fusermount3";
// Read-only, and nothing on the image may act as a device or gain privileges.
constexpr const char* kMountOptions = "ro,nodev,nosuid";
// The image reaches squashfuse as its descriptor 3, the one that was checked.
constexpr const char* kPassedImage = "/dev/fd/3";

class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Straight to standard error: the streams library's start-up would cost every run of the tool
// more than the messages of the few that fail.
void say(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written =
        platform::retryOnEintr([&] { return ::write(STDERR_FILENO, text.data(), text.size()); });
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

int usage() {
  say("usage: hdiutil attach -readonly -nobrowse -noautoopen -mountpoint DIR IMAGE\n"
      "       hdiutil detach DIR\n"
      "       hdiutil create -srcfolder SRC IMAGE\n");
  return 2;
}

// Whether path is the root of a mount. fuse stacks a second mount on the first without a word,
// and the second would then hide what a caller already checked.
bool isMountPoint(const fs::path& path) {
  struct statx here {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &here) != 0) {
    throw Failure(platform::errnoMessage(errno, path.string()));
  }
  if ((here.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (here.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  struct stat self {};
  struct stat parent {};
  if (::lstat(path.c_str(), &self) != 0 || ::lstat((path / "..").c_str(), &parent) != 0) {
    throw Failure(platform::errnoMessage(errno, path.string()));
  }
  return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

void attach(const fs::path& mountPoint, const fs::path& imagePath) {
  // The descriptor stays on the file that was checked; the server reads that file, not whatever
  // the path names by the time it opens it.
  const platform::diskimage::OpenedImage image = platform::diskimage::openImage(imagePath);
  struct stat folder {};
  if (::lstat(mountPoint.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
    throw Failure(mountPoint.string() + ": not a folder");
  }
  if (isMountPoint(mountPoint)) throw Failure(mountPoint.string() + ": already a mount point");
  // squashfuse exits 0 only once the mount is in place and its server runs in the background.
  platform::replaceProcess(kSquashfuse, {"-o", kMountOptions, kPassedImage, mountPoint.string()},
                           image.fd.get());
}

[[noreturn]] void detach(const fs::path& mountPoint) {
  platform::replaceProcess(kFusermount, {"-u", mountPoint.string()});
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.empty()) return usage();
  const std::string& verb = arguments.front();
  try {
    if (verb == "attach") {
      std::string mountPoint;
      std::vector<std::string> images;
      bool readOnly = false;
      for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-readonly") {
          readOnly = true;
        } else if (argument == "-nobrowse" || argument == "-noautoopen") {
          // Nothing browses or opens a mount here.
        } else if (argument == "-mountpoint" && i + 1 < arguments.size()) {
          mountPoint = arguments[++i];
        } else if (argument.starts_with("-")) {
          return usage();
        } else {
          images.push_back(argument);
        }
      }
      // Only read-only attaching exists: a writable squashfs does not.
      if (!readOnly || mountPoint.empty() || images.size() != 1) return usage();
      attach(mountPoint, images.front());
    } else if (verb == "detach") {
      if (arguments.size() != 2 || arguments[1].starts_with("-")) return usage();
      detach(arguments[1]);
    } else if (verb == "create") {
      if (arguments.size() != 4 || arguments[1] != "-srcfolder") return usage();
      platform::diskimage::createImage(arguments[2], arguments[3]);
    } else {
      return usage();
    }
  } catch (const std::exception& error) {
    say("hdiutil: " + verb + " failed: " + error.what() + "\n");
    return 1;
  }
  return 0;
}
