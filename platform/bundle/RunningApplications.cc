#include "platform/bundle/RunningApplications.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/bundle/Bundle.h"
#include "platform/formats/PropertyList.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

// "1234" names a process folder of /proc; anything else (self, sys, ...) does not.
bool isProcessId(const std::string& name) {
  if (name.empty() || name.size() > 9) return false;
  for (const char c : name) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The executable of the process whose /proc folder is process; nothing for a kernel thread, a
// process that just ended or one this process may not examine.
std::optional<fs::path> executableOf(const fs::path& process) {
  std::error_code unreadable;
  std::string text = fs::read_symlink(process / "exe", unreadable).string();
  if (unreadable) return std::nullopt;
  // The kernel marks an executable whose file is gone; its bundle may still be there.
  constexpr std::string_view kDeleted = " (deleted)";
  if (text.ends_with(kDeleted)) text.resize(text.size() - kDeleted.size());
  return fs::path(text);
}

}  // namespace

std::vector<pid_t> runningApplicationsWithBundleIdentifier(const std::string& identifier) {
  std::vector<pid_t> found;
  std::error_code error;
  for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!isProcessId(name)) continue;
    struct stat owner {};
    if (::stat(it->path().c_str(), &owner) != 0 || owner.st_uid != ::getuid()) continue;
    const std::optional<fs::path> executable = executableOf(it->path());
    if (!executable) continue;
    const fs::path macOS = executable->parent_path();
    const fs::path contents = macOS.parent_path();
    if (macOS.filename() != "MacOS" || contents.filename() != "Contents") continue;
    const Bundle bundle(contents.parent_path());
    const std::string* bundleIdentifier =
        plist::stringForKey(bundle.infoDictionary(), "CFBundleIdentifier");
    if (bundleIdentifier && *bundleIdentifier == identifier) {
      found.push_back(static_cast<pid_t>(std::stoi(name)));
    }
  }
  return found;
}

bool processRunsFrom(const fs::path& folder) {
  const std::string prefix = folder.string() + "/";
  std::error_code error;
  for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
    if (!isProcessId(it->path().filename().string())) continue;
    const std::optional<fs::path> executable = executableOf(it->path());
    if (executable && executable->string().starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace platform
