// A small ext4 volume of its own (an image file on a loop device, default mount options), and
// power cuts of it: a copy of the image file holds exactly what the file system had handed to its
// disk at the moment of the copy, and mounting that copy replays its journal as a reboot would.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace testing_support {

// An image file attached to a loop device and mounted at a folder; unmounted and detached on
// every way out.
class LoopVolume {
 public:
  // Why such a volume cannot be made here (not root, no loop devices, no mkfs.ext4); empty when
  // it can.
  static std::string unavailableReason();

  // A new volume of megabytes in image, mounted at the existing empty folder at.
  LoopVolume(const std::filesystem::path& image, std::uint64_t megabytes,
             const std::filesystem::path& at);
  ~LoopVolume();
  LoopVolume(const LoopVolume&) = delete;
  LoopVolume& operator=(const LoopVolume&) = delete;

  // What a power cut now would leave: the image copied to copy (replacing an earlier one) and
  // mounted read-only at the existing folder at until the result goes. Never syncs the volume.
  std::unique_ptr<LoopVolume> powerCut(const std::filesystem::path& copy,
                                       const std::filesystem::path& at) const;

 private:
  // readOnly mounts a volume whose journal still needs replaying: the device stays writable.
  LoopVolume(const std::filesystem::path& image, const std::filesystem::path& at, bool readOnly);

  std::filesystem::path image_;
  std::filesystem::path at_;
  std::string device_;
};

}  // namespace testing_support
