// Quiet removal of the updater's temporary files and folders: used on every way out of the step
// that made them, so it never throws.
#pragma once

#include <filesystem>

namespace bramlow {

// Removes the file, symbolic link or folder (with its contents) at url if anything is there. A
// failure is logged as "Could not remove update temporary file <path>: <reason>" and swallowed.
void removeTemporaryItem(const std::filesystem::path& url) noexcept;

}  // namespace bramlow
