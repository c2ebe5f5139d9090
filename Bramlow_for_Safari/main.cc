// Bramlow for Safari, the setup application.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Bramlow_for_Safari/AppDelegate.h"
#include "platform/browser/ExtensionManager.h"
#include "platform/bundle/Bundle.h"

namespace {

// For the start-up benchmark only: BRAMLOW_REPORT_FIRST_FRAME makes the application print the
// wall-clock time of its first drawn frame, so a launcher can measure launch to first frame.
void reportFirstFrame(bramlow::setup::AppDelegate&) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::printf("first-frame %lld%09ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  platform::Bundle bundle = platform::Bundle::main();
  platform::BrowserExtensionManager extensions(bundle.bundlePath());
  const bool report = std::getenv("BRAMLOW_REPORT_FIRST_FRAME") != nullptr;  // NOLINT
  return bramlow::setup::runSetupApplication(
      argc, argv, std::move(bundle), extensions,
      report ? std::function<void(bramlow::setup::AppDelegate&)>(reportFirstFrame) : nullptr);
}
