#include "tests/support/LeakCheck.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#include "tests/support/Wait.h"

namespace testing_support {
namespace fs = std::filesystem;

namespace {

std::string readProcFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The TCP sockets whose local port is port: the server's side of its connections.
std::set<std::string> socketsOnLocalPort(int port) {
  std::set<std::string> inodes;
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::istringstream lines(readProcFile(table));
    for (std::string line; port > 0 && std::getline(lines, line);) {
      std::istringstream fields(line);
      std::string field[10];  // the local address is the second, the inode the tenth
      for (std::string& f : field) fields >> f;
      if (field[1].ends_with(wanted)) inodes.insert("socket:[" + field[9] + "]");
    }
  }
  return inodes;
}

}  // namespace

LeakCheck::LeakCheck(fs::path root, std::vector<fs::path> watched, int serverPort)
    : root_(std::move(root)),
      watched_(std::move(watched)),
      serverPort_(serverPort),
      before_(take({})) {}

std::map<std::string, std::string> LeakCheck::take(const std::set<std::string>& kept) const {
  std::map<std::string, std::string> now;
  const std::set<std::string> serverSide = socketsOnLocalPort(serverPort_);
  if (DIR* fds = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(fds)) {
      std::error_code gone;
      const std::string target = fs::read_symlink(fs::path("/proc/self/fd") / entry->d_name, gone);
      if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(fds) &&
          !serverSide.contains(target))
        now["descriptor " + std::string(entry->d_name) + " -> " + target];
    }
    ::closedir(fds);
  }

  const std::string below = root_.string() + "/";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos || std::stoi(pid) == ::getpid())
      continue;
    const std::string stat = readProcFile(entry.path() / "stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;  // gone meanwhile
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    std::string command = readProcFile(entry.path() / "cmdline");
    std::replace(command.begin(), command.end(), '\0', ' ');
    const std::string exe = fs::read_symlink(entry.path() / "exe", error);
    if (parent == ::getpid() || command.find(below) != std::string::npos || exe.starts_with(below))
      now["process " + pid] = ": " + (command.empty() ? exe : command);
  }

  std::istringstream mounts(readProcFile("/proc/self/mountinfo"));
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, source, point;
    fields >> id >> parent >> device >> source >> point;
    if (point.starts_with(below)) now["mount " + point];
  }

  for (const fs::path& folder : watched_) {
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      if (!kept.contains(entry.path().filename())) now["entry " + entry.path().string()];
    }
  }
  return now;
}

void LeakCheck::expectNothingAdded(const std::set<std::string>& kept) const {
  std::vector<std::string> found;
  waitUntil(std::chrono::seconds(3), [&] {
    found.clear();
    for (const auto& [key, detail] : take(kept)) {
      if (!before_.contains(key)) found.push_back(key + detail);
    }
    return found.empty();
  });
  for (const std::string& leak : found) ADD_FAILURE() << "left behind: " << leak;
}

}  // namespace testing_support
