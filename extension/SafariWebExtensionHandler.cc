#include "extension/SafariWebExtensionHandler.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "extension/forwardToUpdater.h"
#include "shared/UpdateFailure.h"

namespace bramlow {

namespace {

using platform::Json;
namespace plist = platform::plist;

std::atomic<const platform::Bundle*> bundleForTesting{nullptr};

const plist::Dictionary& infoDictionary() {
  if (const platform::Bundle* bundle = bundleForTesting.load()) return bundle->infoDictionary();
  // The executable's bundle cannot change under it while it runs: read it once, as the platform
  // does for a main bundle. Without one there is no configuration, which refuses every update.
  static const std::optional<platform::Bundle> main = []() -> std::optional<platform::Bundle> {
    try {
      return platform::Bundle::main();
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }();
  static const plist::Dictionary none;
  return main ? main->infoDictionary() : none;
}

// The message of the first input item: a JSON object, or nullptr when there is none.
const Json* messageOf(const platform::ExtensionContext& context) {
  const auto& items = context.inputItems();
  if (items.empty() || !items.front().userInfo || !items.front().userInfo->is_object()) {
    return nullptr;
  }
  const Json& userInfo = *items.front().userInfo;
  const auto found = userInfo.find(platform::kExtensionMessageKey);
  if (found == userInfo.end() || !found->is_object()) return nullptr;
  return &*found;
}

const std::string* stringMember(const Json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get_ptr<const std::string*>()
                                                     : nullptr;
}

bool isKnownAction(const std::string& action) {
  return action == "info" || action == "check" || action == "download" || action == "install";
}

// 1 to 15 ASCII digits, the first not 0, and nothing else: a line break after them included,
// which an end-of-line anchor would let through.
bool isValidBuild(std::string_view build) {
  if (build.empty() || build.size() > 15 || build.front() < '1' || build.front() > '9') {
    return false;
  }
  return std::all_of(build.begin(), build.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A boolean, or a number that is exactly 0 or 1 (what converts to a boolean); false otherwise.
bool forceFlag(const Json& message) {
  const auto found = message.find("force");
  if (found == message.end()) return false;
  if (found->is_boolean()) return found->get<bool>();
  return found->is_number() && found->get<double>() == 1.0;
}

void refuse(std::string_view marker, const std::shared_ptr<platform::ExtensionContext>& context) {
  SafariWebExtensionHandler::sendResponse(Json::object({{"error", std::string(marker)}}), context);
}

}  // namespace

void SafariWebExtensionHandler::beginRequest(
    const std::shared_ptr<platform::ExtensionContext>& context) {
  const Json* message = messageOf(*context);
  const std::string* action = message ? stringMember(*message, "action") : nullptr;
  if (!action || !isKnownAction(*action)) return refuse(markers::kUnsupportedOperation, context);

  const plist::Dictionary& info = infoDictionary();
  const std::string* directUpdates = plist::stringForKey(info, "BramlowDirectUpdates");
  const bool supported = directUpdates && *directUpdates == "YES";

  if (*action == "info") {
    // Both versions are always in the bundle as built; a bundle without them reports them empty.
    const std::string* build = plist::stringForKey(info, "CFBundleVersion");
    const std::string* version = plist::stringForKey(info, "CFBundleShortVersionString");
    return sendResponse(Json::object({{"supported", supported},
                                      {"build", build ? *build : std::string()},
                                      {"nativeVersion", version ? *version : std::string()}}),
                        context);
  }
  if (!supported) return refuse(markers::kAutomaticUpdatesUnavailable, context);
  const std::string* service = plist::stringForKey(info, "BramlowUpdateService");
  const std::string* team = plist::stringForKey(info, "BramlowSigningTeam");
  if (!service || !team) return refuse(markers::kAutomaticUpdatesUnavailable, context);

  const std::string* buildMember = stringMember(*message, "build");
  const std::string build = buildMember ? *buildMember : std::string();
  if (*action != "check" && !isValidBuild(build)) return refuse(markers::kInvalidBuild, context);

  forwardToUpdater(*action, build, forceFlag(*message), *service, *team, context);
}

void SafariWebExtensionHandler::sendResponse(
    const Json& response, const std::shared_ptr<platform::ExtensionContext>& context) {
  std::vector<platform::ExtensionItem> items(1);
  items.front().userInfo = Json::object({{platform::kExtensionMessageKey, response}});
  context->completeRequestReturningItems(std::move(items));
}

void SafariWebExtensionHandler::setBundleForTesting(const platform::Bundle* bundle) {
  bundleForTesting.store(bundle);
}

}  // namespace bramlow
