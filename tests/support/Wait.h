// Waiting in tests for what no event reports: only through these, so every wait has a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace testing_support {

// Polls predicate until it holds or timeout has passed; whether it held.
template <typename Predicate>
bool waitUntil(std::chrono::milliseconds timeout, Predicate&& predicate) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Whether the process has ended: gone, or a zombie (nobody may reap it in a container).
inline bool processEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  return !std::getline(stat, line) || line.compare(line.rfind(')') + 2, 1, "Z") == 0;
}

}  // namespace testing_support
