// The request a browser hands the extension's native handler, and the way its one answer goes
// back: the stand-in of an extension context with its input items. Each native message becomes
// one context whose first input item carries the message under kExtensionMessageKey.
//
// A context is answered by exactly one completeRequestReturningItems call; an implementation
// ignores any later call. Calls may come from any thread.
#pragma once

#include <optional>
#include <vector>

#include "platform/formats/Json.h"

namespace platform {

// The user-info key under which a message and its response travel.
inline constexpr const char* kExtensionMessageKey = "message";

struct ExtensionItem {
  // A JSON object, or nothing when the item carries no user info.
  std::optional<Json> userInfo;
};

class ExtensionContext {
 public:
  virtual ~ExtensionContext() = default;

  virtual const std::vector<ExtensionItem>& inputItems() const = 0;

  // Delivers the answer. Only the first call of a context counts.
  virtual void completeRequestReturningItems(std::vector<ExtensionItem> items) = 0;
};

}  // namespace platform
