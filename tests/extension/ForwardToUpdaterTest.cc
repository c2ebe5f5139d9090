// The extension's updater connection against the real test service: whatever happens to the
// service, each request is answered exactly once, and an unsigned service is not believed.
#include <gtest/gtest.h>

#include <mutex>

#include "extension/SafariWebExtensionHandler.h"
#include "extension/forwardToUpdater.h"
#include "shared/UpdateFailure.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/xpc/XpcTestSupport.h"

namespace bramlow {
// The handler itself lives elsewhere; the connection only needs its way of answering.
void SafariWebExtensionHandler::sendResponse(
    const platform::Json& response, const std::shared_ptr<platform::ExtensionContext>& context) {
  context->completeRequestReturningItems(
      {platform::ExtensionItem{platform::Json{{platform::kExtensionMessageKey, response}}}});
}
}  // namespace bramlow

namespace {
namespace markers = bramlow::markers;

class RecordingContext : public platform::ExtensionContext {
 public:
  const std::vector<platform::ExtensionItem>& inputItems() const override { return items_; }
  void completeRequestReturningItems(std::vector<platform::ExtensionItem> items) override {
    const std::lock_guard lock(mutex_);
    answers_.push_back(items.at(0).userInfo->at(platform::kExtensionMessageKey));
    answered_.signal();
  }
  // The only answer, after a moment in which a second one would have shown.
  platform::Json onlyAnswer() {
    EXPECT_TRUE(answered_.waitFor(std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::lock_guard lock(mutex_);
    EXPECT_EQ(answers_.size(), 1u);
    return answers_.empty() ? platform::Json() : answers_.front();
  }

 private:
  std::vector<platform::ExtensionItem> items_;
  std::mutex mutex_;
  std::vector<platform::Json> answers_;
  platform::dispatch::Semaphore answered_;
};

TEST(ForwardToUpdaterTest, AnswersOnceWhateverTheServiceDoes) {
  testing_support::TempDir dir;
  platform::xpc::Connection::setServicesFolderForTesting(
      testing_support::installTestService(dir.path()));
  const struct {
    const char* name;
    const char* service;
    const char* action;
    std::vector<std::string_view> accepted;
  } kCases[] = {
      {"misspelt service",
       "com.bramlow.test.xpcc",
       "check",
       {markers::kHelperUnavailable, markers::kHelperConnectionEnded}},
      {"unsigned service",
       testing_support::kTestServiceName,
       "check",
       {markers::kConnectionNotAuthenticated}},
      {"service dies before replying",
       testing_support::kTestServiceName,
       "crash",
       {markers::kHelperUnavailable, markers::kHelperConnectionEnded}},
  };
  for (const auto& [name, service, action, accepted] : kCases) {
    auto context = std::make_shared<RecordingContext>();
    bramlow::forwardToUpdater(action, "", false, service, "TEAM", context);
    const platform::Json answer = context->onlyAnswer();
    ASSERT_TRUE(answer.is_object() && answer.size() == 1 && answer.contains("error")) << name;
    EXPECT_NE(std::find(accepted.begin(), accepted.end(), answer["error"].get<std::string>()),
              accepted.end())
        << name << ": " << answer.dump();
  }
  platform::xpc::Connection::setServicesFolderForTesting({});
}

class SignedServiceTest : public testing_support::SigningTest {};

TEST_F(SignedServiceTest, RepliesOfTheSignedServiceBecomeResponses) {
  const auto services = testing_support::installTestService(dir_.path());
  testing_support::signWith(services / "TestService.xpc", bramlow::release::kDeveloperIdIdentity);
  platform::xpc::Connection::setServicesFolderForTesting(services);
  const std::string largest = R"({"v":")" + std::string(65528, 'x') + R"("})";
  const struct {
    const char* shape;
    platform::Json response;
  } kCases[] = {
      {"plain", {{"version", "200"}}},
      {"error", {{"error", "[[Failed. =000000]]"}}},  // "error" wins over "result"
      {"empty", {{"error", markers::kHelperInvalidResponse}}},
      {"largest", platform::parseJson(largest)},
      {"too large", {{"error", markers::kHelperInvalidResponse}}},
      {"array", {{"error", markers::kHelperInvalidResponse}}},
  };
  for (const auto& [shape, response] : kCases) {
    auto context = std::make_shared<RecordingContext>();
    bramlow::forwardToUpdater("check", shape, false, testing_support::kTestServiceName,
                              testing_support::kTeam, context);
    EXPECT_EQ(context->onlyAnswer(), response) << shape;
  }
  // A result that is not JSON answers with the parser's own description, not a marker.
  auto context = std::make_shared<RecordingContext>();
  bramlow::forwardToUpdater("check", "not JSON", false, testing_support::kTestServiceName,
                            testing_support::kTeam, context);
  const platform::Json answer = context->onlyAnswer();
  EXPECT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer.value("error", "").find("[["), std::string::npos) << answer.dump();
  // The same service signed for another team is not believed.
  context = std::make_shared<RecordingContext>();
  bramlow::forwardToUpdater("check", "plain", false, testing_support::kTestServiceName, "OTHERTEAM",
                            context);
  EXPECT_EQ(context->onlyAnswer(),
            platform::Json({{"error", markers::kConnectionNotAuthenticated}}));
  platform::xpc::Connection::setServicesFolderForTesting({});
}

}  // namespace
