#include "tests/support/LeakCheck.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

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

// The inodes of the TCP sockets whose local port is port: the server's side of its connections.
std::set<std::string> socketsOnLocalPort(int port) {
  std::set<std::string> inodes;
  if (port <= 0) return inodes;
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::istringstream lines(readProcFile(table));
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
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
    : root_(std::move(root)), watched_(std::move(watched)), serverPort_(serverPort) {
  before_ = take();
}

LeakCheck::Snapshot LeakCheck::take() const {
  Snapshot now;
  if (DIR* fds = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(fds)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::stoi(entry->d_name);
      if (fd == ::dirfd(fds)) continue;
      std::error_code gone;
      now.descriptors[fd] = fs::read_symlink(fs::path("/proc/self/fd") / entry->d_name, gone);
    }
    ::closedir(fds);
  }

  const std::string below = root_.string() + "/";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == ::getpid()) continue;
    const std::string stat = readProcFile(entry.path() / "stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;  // gone meanwhile
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    std::string command = readProcFile(entry.path() / "cmdline");
    std::replace(command.begin(), command.end(), '\0', ' ');
    std::error_code unreadable;
    const std::string exe = fs::read_symlink(entry.path() / "exe", unreadable);
    if (parent == ::getpid() || command.find(below) != std::string::npos || exe.starts_with(below))
      now.processes[pid] = command.empty() ? exe : command;
  }

  std::istringstream mounts(readProcFile("/proc/self/mountinfo"));
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, source, point;
    fields >> id >> parent >> device >> source >> point;
    if (point.starts_with(below)) now.mounts.insert(point);
  }

  for (const fs::path& folder : watched_) {
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      now.entries.insert(entry.path().string());
    }
  }
  return now;
}

std::vector<std::string> LeakCheck::added(const Snapshot& now,
                                          const std::set<std::string>& kept) const {
  std::vector<std::string> found;
  const std::set<std::string> serverSide = socketsOnLocalPort(serverPort_);
  for (const auto& [fd, target] : now.descriptors) {
    const auto old = before_.descriptors.find(fd);
    if ((old == before_.descriptors.end() || old->second != target) && !serverSide.contains(target))
      found.push_back("descriptor " + std::to_string(fd) + " -> " + target);
  }
  for (const auto& [pid, command] : now.processes) {
    if (!before_.processes.contains(pid))
      found.push_back("process " + std::to_string(pid) + ": " + command);
  }
  for (const std::string& point : now.mounts) {
    if (!before_.mounts.contains(point)) found.push_back("mount " + point);
  }
  for (const std::string& entry : now.entries) {
    if (!before_.entries.contains(entry) && !kept.contains(fs::path(entry).filename()))
      found.push_back("entry " + entry);
  }
  return found;
}

void LeakCheck::expectNothingAdded(const std::set<std::string>& kept) const {
  std::vector<std::string> found;
  waitUntil(std::chrono::seconds(3), [&] { return (found = added(take(), kept)).empty(); });
  for (const std::string& leak : found) ADD_FAILURE() << "left behind: " << leak;
}

}  // namespace testing_support
