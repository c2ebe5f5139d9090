// Stand-in until the updater connection lands: every forwarded request is answered at once as if
// the updater could not be reached, so the extension answers every message exactly once.
#include "extension/forwardToUpdater.h"

#include "extension/SafariWebExtensionHandler.h"
#include "shared/UpdateFailure.h"

namespace bramlow {

void forwardToUpdater(const std::string& /*action*/, const std::string& /*build*/, bool /*force*/,
                      const std::string& /*serviceName*/, const std::string& /*team*/,
                      // The declared signature takes ownership; this stand-in only answers.
                      // NOLINTNEXTLINE(performance-unnecessary-value-param)
                      std::shared_ptr<platform::ExtensionContext> context) {
  SafariWebExtensionHandler::sendResponse(
      platform::Json::object({{"error", std::string(markers::kHelperUnavailable)}}), context);
}

}  // namespace bramlow
