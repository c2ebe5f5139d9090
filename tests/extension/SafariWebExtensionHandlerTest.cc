#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "extension/SafariWebExtensionHandler.h"
#include "extension/forwardToUpdater.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"

// Link seam: this definition stands in for the updater connection, so the rows see exactly what
// the handler forwards.
void bramlow::forwardToUpdater(const std::string& action, const std::string& build, bool force,
                               const std::string& serviceName, const std::string& team,
                               std::shared_ptr<platform::ExtensionContext> context) {  // NOLINT
  SafariWebExtensionHandler::sendResponse(
      {{"forwarded",
        action + "|" + build + "|" + (force ? "true" : "false") + "|" + serviceName + "|" + team}},
      context);
}

namespace {
using namespace testing_support;
using platform::Json;
using platform::plist::Value;
namespace markers = bramlow::markers;

TEST(SafariWebExtensionHandler, AnswersEachRequestOnceInTheOrderOfItsChecks) {
  const std::string kUnsupported(markers::kUnsupportedOperation);
  const std::string kUnavailable(markers::kAutomaticUpdatesUnavailable);
  const std::string kBadBuild(markers::kInvalidBuild);
  const std::string kOn = R"({"build":"100","nativeVersion":"1.0.0","supported":true})";
  const std::string kOff = R"({"build":"100","nativeVersion":"1.0.0","supported":false})";
  // Forwarded with the bundle's service and team.
  const std::string kTo = std::string("|") + kUpdaterID + "|" + kTeam;
  struct Row {
    const char* message;   // JSON under the message key; nullptr: the item has no user info
    std::string expected;  // the marker, the forwarded arguments or the whole answer
    std::vector<std::pair<std::string, std::optional<Value>>> info = {};  // nullopt: key removed
  };
  const std::vector<Row> rows = {
      {nullptr, kUnsupported},
      {R"({"action": "update"})", kUnsupported, {{"BramlowDirectUpdates", "NO"}}},
      {R"({"action": "info"})", kOn},
      {R"({"action": "info"})", kOff, {{"BramlowDirectUpdates", {}}}},
      {R"({"action": "check"})", kUnavailable, {{"BramlowDirectUpdates", "NO"}}},
      {R"({"action": "check"})", "check||false" + kTo},
      {R"({"action": "download"})", kBadBuild},
      {R"({"action": "install", "build": "1234567890123456"})", kBadBuild},
      {R"({"action": "install", "build": "5\n"})", kBadBuild},
      {R"({"action": "install", "build": "1"})", "install|1|false" + kTo},
      {R"({"action": "download", "build": "999999999999999", "force": true})",
       "download|999999999999999|true" + kTo},
      {R"({"action": "check", "force": 1})",
       "check||true||",
       {{"BramlowUpdateService", ""}, {"BramlowSigningTeam", ""}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message ? row.message : "no user info");
    const TempDir folder;
    platform::plist::Dictionary info = defaultExtensionInfo();
    for (const auto& [key, value] : row.info) {
      if (value)
        info[key] = *value;
      else
        info.erase(key);
    }
    writeInfoPlist(folder.path(), info);
    const platform::Bundle bundle(folder.path());
    bramlow::SafariWebExtensionHandler::setBundleForTesting(&bundle);
    std::optional<Json> userInfo;
    if (row.message) userInfo = Json{{platform::kExtensionMessageKey, Json::parse(row.message)}};
    auto context = std::make_shared<RecordingExtensionContext>(userInfo);
    bramlow::SafariWebExtensionHandler().beginRequest(context);
    bramlow::SafariWebExtensionHandler::setBundleForTesting(nullptr);
    const Json response = context->onlyMessage();
    // An error answer carries its marker alone; anything else is compared whole.
    const char* key = response.size() == 1 && response.contains("error")       ? "error"
                      : response.size() == 1 && response.contains("forwarded") ? "forwarded"
                                                                               : nullptr;
    EXPECT_EQ(key ? response[key].get<std::string>() : response.dump(), row.expected);
  }
}

}  // namespace
