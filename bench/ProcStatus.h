// Memory figures of the running process, for the benchmark drivers.
#pragma once

#include <fstream>
#include <string>

namespace bench {

// A "Name:   N kB" field of /proc/self/status (VmRSS, VmHWM, ...) in KiB, or -1.
inline long statusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

}  // namespace bench
