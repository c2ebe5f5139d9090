#include "tests/support/LeakCheck.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
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
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The local port of a TCP socket (the port field sits at the same place for IPv4 and IPv6), or 0.
int localPort(int fd) {
  sockaddr_in6 address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  const bool inet = address.sin6_family == AF_INET || address.sin6_family == AF_INET6;
  return inet ? ntohs(address.sin6_port) : 0;
}

}  // namespace

LeakCheck::LeakCheck(fs::path root, std::vector<fs::path> watched, int serverPort)
    : root_(std::move(root)),
      watched_(std::move(watched)),
      serverPort_(serverPort),
      before_(take({})) {}

std::map<std::string, std::string> LeakCheck::take(const std::set<std::string>& kept) const {
  std::map<std::string, std::string> now;
  std::error_code error;
  const fs::path listing = "/proc/" + std::to_string(::getpid()) + "/fd";
  for (const auto& entry : fs::directory_iterator(listing, error)) {
    const fs::path target = fs::read_symlink(entry.path(), error);
    // The listing's own descriptor, and the server's side of its connections, are no leaks.
    if (target == listing ||
        (serverPort_ > 0 && localPort(std::stoi(entry.path().filename())) == serverPort_))
      continue;
    now["descriptor " + entry.path().filename().string() + " -> " + target.string()];
  }

  const std::string below = root_.string() + "/";
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
