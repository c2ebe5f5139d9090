#include "platform/RunningApplications.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/Bundle.h"
#include "platform/PropertyList.h"

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

}  // namespace

std::vector<pid_t> runningApplicationsWithBundleIdentifier(const std::string& identifier) {
  std::vector<pid_t> found;
  std::error_code error;
  for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!isProcessId(name)) continue;
    struct stat owner {};
    if (::stat(it->path().c_str(), &owner) != 0 || owner.st_uid != ::getuid()) continue;
    std::error_code unreadable;
    fs::path executable = fs::read_symlink(it->path() / "exe", unreadable);
    if (unreadable) continue;  // a kernel thread, or a process that just ended
    // The kernel marks an executable whose file is gone; its bundle may still be there.
    constexpr std::string_view kDeleted = " (deleted)";
    std::string text = executable.string();
    if (text.ends_with(kDeleted)) text.resize(text.size() - kDeleted.size());
    executable = text;
    const fs::path macOS = executable.parent_path();
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

}  // namespace platform
