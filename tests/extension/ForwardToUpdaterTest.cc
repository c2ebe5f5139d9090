// The extension's updater connection against the real test service: whatever happens to the
// service, each request is answered exactly once, and an unsigned service is not believed.
#include <gtest/gtest.h>

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

using testing_support::RecordingExtensionContext;

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
    auto context = std::make_shared<RecordingExtensionContext>();
    bramlow::forwardToUpdater(action, "", false, service, "TEAM", context);
    const platform::Json answer = context->onlyMessage(std::chrono::milliseconds(300));
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
  std::string parserError;
  try {
    platform::parseJson("{");
  } catch (const platform::JsonError& error) {
    parserError = error.what();
  }
  const auto error = [](std::string_view message) { return platform::Json{{"error", message}}; };
  const struct {
    const char* shape;
    const char* team;
    platform::Json response;
  } kCases[] = {
      {"plain", testing_support::kTeam, {{"version", "200"}}},
      {"error", testing_support::kTeam, error("[[Failed. =000000]]")},  // wins over "result"
      {"empty", testing_support::kTeam, error(markers::kHelperInvalidResponse)},
      {"largest", testing_support::kTeam, platform::parseJson(largest)},
      {"too large", testing_support::kTeam, error(markers::kHelperInvalidResponse)},
      {"array", testing_support::kTeam, error(markers::kHelperInvalidResponse)},
      {"not JSON", testing_support::kTeam, error(parserError)},
      {"plain", "OTHERTEAM", error(markers::kConnectionNotAuthenticated)},
  };
  for (const auto& [shape, team, response] : kCases) {
    auto context = std::make_shared<RecordingExtensionContext>();
    bramlow::forwardToUpdater("check", shape, false, testing_support::kTestServiceName, team,
                              context);
    EXPECT_EQ(context->onlyMessage(std::chrono::milliseconds(300)), response)
        << shape << " " << team;
  }
  platform::xpc::Connection::setServicesFolderForTesting({});
}

}  // namespace
