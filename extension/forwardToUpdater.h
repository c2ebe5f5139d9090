// The extension's connection to the updater: one request, one connection, one answer.
#pragma once

#include <memory>
#include <string>

#include "platform/browser/ExtensionContext.h"

namespace bramlow {

// Sends {"action", "build", "force"} to the updater service named serviceName and returns at once.
// The reply's sender must be signed as serviceName by team; the answer (the updater's JSON object,
// or {"error": marker}) is given later through SafariWebExtensionHandler::sendResponse, exactly
// once, whatever happens to the connection.
void forwardToUpdater(const std::string& action, const std::string& build, bool force,
                      const std::string& serviceName, const std::string& team,
                      std::shared_ptr<platform::ExtensionContext> context);

}  // namespace bramlow
