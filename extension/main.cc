// Bramlow for Safari Extension: the extension's native message handler, started by the browser as
// its native-messaging host (the first argument is the caller's origin, which it does not need).
// One handler per message; the process ends when the browser closes its input and every answer
// is out.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "extension/SafariWebExtensionHandler.h"
#include "platform/NativeMessagingHost.h"

int main() {
  try {
    platform::NativeMessagingHost host = platform::NativeMessagingHost::standardStreams();
    bramlow::SafariWebExtensionHandler::prepareForUpdaterRequests();
    host.run([](const std::shared_ptr<platform::ExtensionContext>& context) {
      bramlow::SafariWebExtensionHandler().beginRequest(context);
    });
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    std::fflush(stderr);
    std::_Exit(1);
  }
  // Every answer is written (straight to the descriptor, nothing buffered). The threads of answered
  // requests may still be winding down their connections: ending here, without running static
  // destructors under them, is the clean end.
  std::_Exit(0);
}
