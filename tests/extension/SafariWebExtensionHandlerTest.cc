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
                               std::shared_ptr<platform::ExtensionContext> context) {
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

class RecordingContext : public platform::ExtensionContext {
 public:
  explicit RecordingContext(std::optional<Json> userInfo) : items_{{std::move(userInfo)}} {}
  const std::vector<platform::ExtensionItem>& inputItems() const override { return items_; }
  void completeRequestReturningItems(std::vector<platform::ExtensionItem> items) override {
    answers.push_back(std::move(items));
  }
  std::vector<std::vector<platform::ExtensionItem>> answers;

 private:
  std::vector<platform::ExtensionItem> items_;
};

struct Row {
  const char* name;
  const char* message;  // JSON under the message key; nullptr: the item has no user info
  std::vector<std::pair<std::string, std::optional<Value>>> info;  // nullopt removes the key
  std::string expected;  // the marker, "forwarded" arguments, or the whole answer
};

const std::string kUnsupported(markers::kUnsupportedOperation);
const std::string kUnavailable(markers::kAutomaticUpdatesUnavailable);
const std::string kInvalidBuild(markers::kInvalidBuild);
const std::string kFullInfo = R"({"build":"100","nativeVersion":"1.0.0","supported":true})";
const std::string kInfoOff = R"({"build":"100","nativeVersion":"1.0.0","supported":false})";
const std::string kService = std::string("|") + kUpdaterID + "|" + kTeam;

TEST(SafariWebExtensionHandler, AnswersEachRequestOnceInTheOrderOfItsChecks) {
  const std::vector<Row> rows = {
      {"no user info", nullptr, {}, kUnsupported},
      {"message not an object", R"("info")", {}, kUnsupported},
      {"action not a string", R"({"action": 1})", {}, kUnsupported},
      {"action in another case", R"({"action": "Info"})", {}, kUnsupported},
      {"unknown action before the direct-updates check",
       R"({"action": "update"})",
       {{"BramlowDirectUpdates", "NO"}},
       kUnsupported},
      {"info", R"({"action": "info"})", {}, kFullInfo},
      {"info, flag absent", R"({"action": "info"})", {{"BramlowDirectUpdates", {}}}, kInfoOff},
      {"info, flag lower case",
       R"({"action": "info"})",
       {{"BramlowDirectUpdates", "yes"}},
       kInfoOff},
      {"info, flag boolean", R"({"action": "info"})", {{"BramlowDirectUpdates", true}}, kInfoOff},
      {"check, direct updates off",
       R"({"action": "check"})",
       {{"BramlowDirectUpdates", "NO"}},
       kUnavailable},
      {"check, no service", R"({"action": "check"})", {{"BramlowUpdateService", {}}}, kUnavailable},
      {"install, team not a string",
       R"({"action": "install", "build": "5"})",
       {{"BramlowSigningTeam", 7}},
       kUnavailable},
      {"check without build", R"({"action": "check"})", {}, "check||false" + kService},
      {"check, numeric build", R"({"action": "check", "build": 5})", {}, "check||false" + kService},
      {"download without build", R"({"action": "download"})", {}, kInvalidBuild},
      {"install, numeric build", R"({"action": "install", "build": 5})", {}, kInvalidBuild},
      {"install 0", R"({"action": "install", "build": "0"})", {}, kInvalidBuild},
      {"install 01", R"({"action": "install", "build": "01"})", {}, kInvalidBuild},
      {"install 16 digits",
       R"({"action": "install", "build": "1234567890123456"})",
       {},
       kInvalidBuild},
      {"install 12a", R"({"action": "install", "build": "12a"})", {}, kInvalidBuild},
      {"install with a line break", R"({"action": "install", "build": "5\n"})", {}, kInvalidBuild},
      {"install 1", R"({"action": "install", "build": "1"})", {}, "install|1|false" + kService},
      {"download 15 nines, forced",
       R"({"action": "download", "build": "999999999999999",
        "force": true})",
       {},
       "download|999999999999999|true" + kService},
      {"force as a string",
       R"({"action": "install", "build": "7", "force": "true"})",
       {},
       "install|7|false" + kService},
      {"empty service and team",
       R"({"action": "check", "force": 1})",
       {{"BramlowUpdateService", ""}, {"BramlowSigningTeam", ""}},
       "check||true||"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
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
    auto context = std::make_shared<RecordingContext>(userInfo);
    bramlow::SafariWebExtensionHandler().beginRequest(context);
    bramlow::SafariWebExtensionHandler::setBundleForTesting(nullptr);

    ASSERT_EQ(context->answers.size(), 1u);
    ASSERT_EQ(context->answers[0].size(), 1u);
    const Json& answer = *context->answers[0][0].userInfo;
    ASSERT_EQ(answer.size(), 1u);
    const Json& response = answer.at(platform::kExtensionMessageKey);
    if (response.contains("error")) {
      EXPECT_EQ(response.size(), 1u);
      EXPECT_EQ(response["error"], row.expected);
    } else if (response.contains("forwarded")) {
      EXPECT_EQ(response["forwarded"], row.expected);
    } else {
      EXPECT_EQ(response.dump(), row.expected);
    }
  }
}

}  // namespace
