// Hashes one file with fileSHA256 and reports the wall time and how far the peak resident memory
// rose above what the process held before the call.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "bench/ProcStatus.h"
#include "updater/BundleFacts.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  // Resets the peak so VmHWM afterwards is the peak of the hashing alone.
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = bench::statusKiB("VmRSS");
  const auto start = std::chrono::steady_clock::now();
  const std::string digest = bramlow::fileSHA256(argv[1]);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long peak = bench::statusKiB("VmHWM");
  std::printf("digest %s\nseconds %.3f\npeak_growth_kib %ld\n", digest.c_str(), seconds,
              peak - before);
  return 0;
}
