// BramlowUpdater. Until the request channel exists, a start builds the service, identifies the
// installed application and reports what it found: the same start-up the service will run before
// it accepts its first connection.
#include <cstdio>
#include <exception>
#include <string>

#include "platform/Env.h"
#include "shared/UpdateFailure.h"
#include "updater/UpdateService.h"

int main() {
  try {
    const bramlow::UpdateService service;
    const auto info = service.installedAppInfo();
    const std::string* build = platform::plist::stringForKey(info, "CFBundleVersion");
    std::printf("installed app: %s\nbuild: %s\nupdate server: %s\ncache: %s\n",
                service.appURL.c_str(), build ? build->c_str() : "",
                service.product.baseURL.absoluteString().c_str(), service.cache.c_str());
    return 0;
  } catch (const bramlow::UpdateFailure& failure) {
    platform::env().log("Bramlow update operation failed: " + failure.localizedDescription());
    std::fprintf(stderr, "%s\n", failure.what());
  } catch (const std::exception& error) {
    platform::env().log(std::string("Bramlow update operation failed: ") + error.what());
    std::fprintf(stderr, "%s\n", std::string(bramlow::markers::kCouldNotComplete).c_str());
  }
  return 1;
}
