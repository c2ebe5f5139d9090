// Bramlow for Safari Extension: the extension's native message handler, started by the browser as
// its native-messaging host. The arguments are the browser's (Chromium: the caller's origin;
// Firefox: the manifest's path and the extension's ID) and are not needed: the manifest already
// chose who may start it.
// One handler per message; the process ends when the browser closes its input and every answer
// is out.
#include <malloc.h>
#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "extension/SafariWebExtensionHandler.h"
#include "platform/browser/NativeMessagingHost.h"
#include "shared/UpdateFailure.h"

int main() {
  try {
    // The crypto library's error texts (failures leave as markers) and system configuration (only
    // the platform's anchors decide) are of no use here, and loading them would dominate start-up.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    // One heap for the few threads: fresh arenas cost a short-lived host more than the heap's lock.
    mallopt(M_ARENA_MAX, 1);
    // A request whose handling failed before it could answer (out of memory, a bug) still gets
    // one: the generic failure.
    platform::NativeMessagingHost host = platform::NativeMessagingHost::standardStreams(
        platform::Json::object({{"error", std::string(bramlow::markers::kCouldNotComplete)}}));
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
