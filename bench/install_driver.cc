// Runs one updater operation in process, as the installed updater would run it for a client, and
// reports its wall time: the whole "install" without the message channel around it.
//   bench_install UPDATER_BUNDLE ACTION BUILD
// Prints "seconds S" on success; an operation that fails prints its failure and exits 1.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "platform/Bundle.h"
#include "updater/UpdateService.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s UPDATER_BUNDLE ACTION BUILD\n", argv[0]);
    return 2;
  }
  try {
    const bramlow::UpdateService service{platform::Bundle(argv[1])};
    const auto start = std::chrono::steady_clock::now();
    service.performOperation(argv[2], argv[3], true);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("seconds %.3f\ncache %s\n", seconds, service.cache.c_str());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[2], error.what());
    return 1;
  }
}
