#include "tests/support/LoopVolume.h"

#include <unistd.h>

#include <stdexcept>

#include "tests/support/TestSupport.h"

namespace testing_support {
namespace fs = std::filesystem;

namespace {

constexpr const char* kLosetup = "/usr/sbin/losetup";
constexpr const char* kMkfs = "/usr/sbin/mkfs.ext4";

std::string run(const std::vector<std::string>& argv) {
  const RunResult result = runProgram(argv);
  if (result.exitCode != 0) throw std::runtime_error(argv.at(0) + " failed: " + result.err);
  return result.out;
}

// Makes a new, empty file system of megabytes in image; image.
const fs::path& format(const fs::path& image, std::uint64_t megabytes) {
  writeFile(image, "");
  fs::resize_file(image, megabytes << 20);
  run({kMkfs, "-q", "-F", image.string()});
  return image;
}

}  // namespace

std::string LoopVolume::unavailableReason() {
  if (::geteuid() != 0) return "loop devices need root";
  if (::access("/dev/loop-control", R_OK | W_OK) != 0) return "no loop devices on this machine";
  if (::access(kMkfs, X_OK) != 0 || ::access(kLosetup, X_OK) != 0) {
    return "no mkfs.ext4 or losetup on this machine";
  }
  return "";
}

LoopVolume::LoopVolume(const fs::path& image, std::uint64_t megabytes, const fs::path& at)
    : LoopVolume(format(image, megabytes), at, false) {}

LoopVolume::LoopVolume(const fs::path& image, const fs::path& at, bool readOnly)
    : image_(image), at_(at) {
  device_ = run({kLosetup, "--find", "--show", image.string()});
  device_.erase(device_.find_last_not_of('\n') + 1);
  try {
    run({"/usr/bin/mount", "-t", "ext4", "-o", readOnly ? "ro" : "rw", device_, at.string()});
  } catch (...) {
    runProgram({kLosetup, "--detach", device_});
    throw;
  }
}

LoopVolume::~LoopVolume() {
  runProgram({"/usr/bin/umount", at_.string()});
  runProgram({kLosetup, "--detach", device_});
}

std::unique_ptr<LoopVolume> LoopVolume::powerCut(const fs::path& copy, const fs::path& at) const {
  // The loop device writes into the image file's page cache, which a copy reads: the copy holds
  // what the mounted file system has handed to its disk, neither more nor less.
  // Sparse: only what the file system wrote is copied, however large the volume.
  run({"/usr/bin/cp", "--sparse=always", image_.string(), copy.string()});
  return std::unique_ptr<LoopVolume>(new LoopVolume(copy, at, true));
}

}  // namespace testing_support
