// The extension's native message handler: answers "info" from its own bundle, refuses what is
// malformed, not allowed or not configured, and forwards "check", "download" and "install" to the
// updater. Stateless; each request is answered exactly once through its context.
#pragma once

#include <memory>

#include "platform/browser/ExtensionContext.h"
#include "platform/bundle/Bundle.h"
#include "platform/formats/Json.h"

namespace bramlow {

class SafariWebExtensionHandler {
 public:
  // Local answers are given before this returns; forwarded ones later, from the request's queue.
  void beginRequest(const std::shared_ptr<platform::ExtensionContext>& context);

  // Answers the context with one item whose user info holds response under the message key.
  static void sendResponse(const platform::Json& response,
                           const std::shared_ptr<platform::ExtensionContext>& context);

  // Makes every handler read its Info.plist keys from bundle instead of the executable's own main
  // bundle; nullptr restores the main bundle. The bundle must outlive its use.
  static void setBundleForTesting(const platform::Bundle* bundle);
};

}  // namespace bramlow
