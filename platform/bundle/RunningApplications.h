// Running applications by bundle identifier: the processes of this user whose executable is the
// main executable of a bundle (<bundle>/Contents/MacOS/<name>) with that CFBundleIdentifier; and
// whether any process runs code from a folder.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// Process ids in no particular order. Processes that end or cannot be examined while the list is
// made are left out; the list is a moment's view.
std::vector<pid_t> runningApplicationsWithBundleIdentifier(const std::string& identifier);

// Whether a process whose executable this process can see lies below folder (also one whose file
// has been removed since). A moment's view, like the list above.
bool processRunsFrom(const std::filesystem::path& folder);

}  // namespace platform
