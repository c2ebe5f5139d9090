// The extension's updater connection against the real signed test service.
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
using namespace testing_support;
using platform::Json;

class SignedServiceTest : public SigningTest {};

// Each request is answered exactly once, whatever the signed service replies or does.
TEST_F(SignedServiceTest, RepliesOfTheSignedServiceBecomeResponses) {
  const auto services = installTestService(dir_.path());
  signWith(services / "TestService.xpc", bramlow::release::kDeveloperIdIdentity);
  platform::xpc::Connection::setServicesFolderForTesting(services);
  const std::string largest = R"({"v":")" + std::string(65528, 'x') + R"("})";
  const auto error = [](std::string_view message) { return Json{{"error", message}}; };
  const Json invalid = error(markers::kHelperInvalidResponse);
  // The reply handler and the connection's end both report a death; the first one wins.
  const std::vector<Json> ended = {error(markers::kHelperUnavailable),
                                   error(markers::kHelperConnectionEnded)};
  const struct {
    const char* action;
    const char* shape;
    const char* team;
    std::vector<Json> accepted;
    const char* service = kTestServiceName;
  } kCases[] = {
      {"check", "plain", kTeam, {{{"version", "200"}}}},
      {"check", "error", kTeam, {error("[[Failed. =000000]]")}},  // over "result"
      {"check", "largest", kTeam, {platform::parseJson(largest)}},
      {"check", "too large", kTeam, {invalid}},
      {"check", "neither", kTeam, {invalid}},
      {"check", "array", kTeam, {invalid}},
      {"check", "plain", "OTHERTEAM", {error(markers::kConnectionNotAuthenticated)}},
      {"crash", "", kTeam, ended},
      {"check", "misspelt service", kTeam, ended, "com.bramlow.test.xcp"},
  };
  for (const auto& [action, shape, team, accepted, service] : kCases) {
    SCOPED_TRACE(std::string(action) + " " + shape + " " + team);
    auto context = std::make_shared<RecordingExtensionContext>();
    bramlow::forwardToUpdater(action, shape, false, service, team, context);
    const Json answer = context->onlyMessage(std::chrono::milliseconds(300));
    EXPECT_NE(std::find(accepted.begin(), accepted.end(), answer), accepted.end()) << answer;
  }
  platform::xpc::Connection::setServicesFolderForTesting({});
}

}  // namespace
