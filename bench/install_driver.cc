// Runs one updater operation in process, as the installed updater would run it for a client, and
// reports its wall time: the whole "install" without the message channel around it.
//   bench_install UPDATER_BUNDLE ACTION BUILD [--no-flush]
// --no-flush skips every flush of the operation, for comparing the durable install with one that
// leaves the write-back to the kernel.
// Prints "seconds S" on success; an operation that fails prints its failure and exits 1.
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "platform/bundle/Bundle.h"
#include "platform/env/Env.h"
#include "updater/UpdateService.h"

namespace {

class NoFlushEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  void syncPath(const std::filesystem::path&) override {}
  void syncFileSystem(const std::filesystem::path&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  const bool noFlush = argc == 5 && std::string(argv[4]) == "--no-flush";
  if (argc != 4 && !noFlush) {
    std::fprintf(stderr, "usage: %s UPDATER_BUNDLE ACTION BUILD [--no-flush]\n", argv[0]);
    return 2;
  }
  NoFlushEnv noFlushEnv(platform::Env::Default());
  std::optional<platform::ScopedEnvForTesting> scoped;
  if (noFlush) scoped.emplace(noFlushEnv);
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
