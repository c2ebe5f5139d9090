// Quiet removal of the updater's temporary files and folders: used on every way out of the step
// that made them, so it never throws.
#pragma once

#include <filesystem>
#include <utility>

namespace bramlow {

// Removes the file, symbolic link or folder (with its contents) at url if anything is there. A
// failure is logged as "Could not remove update temporary file <path>: <reason>" and swallowed.
void removeTemporaryItem(const std::filesystem::path& url) noexcept;

// Removes a temporary item when the scope ends, however it ends.
class TemporaryItem {
 public:
  explicit TemporaryItem(std::filesystem::path path) : path_(std::move(path)) {}
  ~TemporaryItem() {
    if (!path_.empty()) removeTemporaryItem(path_);
  }
  TemporaryItem(const TemporaryItem&) = delete;
  TemporaryItem& operator=(const TemporaryItem&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Gives up the removal: the caller now owns the item.
  std::filesystem::path release() { return std::exchange(path_, {}); }

 private:
  std::filesystem::path path_;
};

}  // namespace bramlow
