// The request channel through real processes: a client talks to the real extension host, which
// starts the real updater on demand; both are the built executables, installed and signed.
#include <gtest/gtest.h>

#include <future>
#include <set>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/e2e/InstalledProduct.h"

namespace {
using namespace testing_support;
using platform::Json;

constexpr const char* kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
constexpr const char* kCheck = R"({"action":"check"})";
// The service's quiet period before it exits (5 s), and slack for a loaded machine.
constexpr int kIdleExitSeconds = 30;

std::string manifest(const std::string& build, const std::string& version) {
  return Json{{"schema", 1},
              {"product", kAppID},
              {"version", version},
              {"build", build},
              {"payloadVersion", version},
              {"payloadSha256", kDigest},
              {"minimumSystemVersion", "11.0"},
              {"artifact",
               {{"name", std::string(kArtifactPrefix) + "-" + build + ".dmg"},
                {"sha256", kDigest},
                {"size", 1000}}}}
      .dump();
}

Json parsed(const std::string& text) { return platform::parseJson(text); }

class RequestChannel : public ::testing::Test {
 protected:
  RequestChannel() { server_.setReply("/updates/latest.json", 200, manifest("2", "2.0.0")); }
  TestHttpsServer server_;
};

TEST_F(RequestChannel, InfoAndCheckStartTheUpdaterOnDemandWhichExitsWhenIdle) {
  const InstalledProduct product(server_.url("/updates/"));
  const Json checked = {{"version", "2"}, {"nativeVersion", "2.0.0"}, {"payloadVersion", "2.0.0"}};

  std::vector<std::string> answers = product.ask({R"({"action":"info"})"});
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(parsed(answers[0]),
            (Json{{"supported", true}, {"build", "1"}, {"nativeVersion", "1.0.0"}}));
  EXPECT_TRUE(product.updaterProcesses().empty()) << "info is answered by the host alone";

  answers = product.ask({kCheck});
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(parsed(answers[0]), checked);
  const std::vector<pid_t> first = product.updaterProcesses();
  ASSERT_EQ(first.size(), 1u);

  // A second host process reuses the running updater, which answers from its cache.
  answers = product.ask({kCheck});
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(parsed(answers[0]), checked);
  EXPECT_EQ(product.updaterProcesses(), first);
  EXPECT_EQ(server_.requestCount("/updates/latest.json"), 1u);

  ASSERT_TRUE(product.waitForUpdaterExit(kIdleExitSeconds));
  answers = product.ask({kCheck});
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(parsed(answers[0]), checked);
  const std::vector<pid_t> second = product.updaterProcesses();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(second, first);
}

// A real browser: Chromium loads a test extension whose service worker sends native messages to the
// installed host, which forwards "check" to the updater.
TEST_F(RequestChannel, ChromiumGetsInfoAndCheckFromTheInstalledHostAndUpdater) {
  const InstalledProduct product(server_.url("/updates/"));
  const RunResult run = runProgram(
      {"/bin/bash", BRAMLOW_BROWSER_TEST, product.extensionExecutable().string(),
       R"({"action":"info"})", R"({"supported":true,"build":"1","nativeVersion":"1.0.0"})",
       R"({"action":"check"})",
       R"({"version":"2","nativeVersion":"2.0.0","payloadVersion":"2.0.0"})",
       R"({"action":"update"})", R"({"error":"[[Unsupported update operation. =b0f84c]]"})"},
      product.environment());
  if (run.exitCode == 77) GTEST_SKIP() << run.out;
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
}

TEST_F(RequestChannel, TenClientsRacingStartOneUpdater) {
  const InstalledProduct product(server_.url("/updates/"));
  std::vector<std::future<std::vector<std::string>>> clients;
  for (int i = 0; i < 10; ++i) {
    clients.push_back(std::async(std::launch::async, [&] { return product.ask({kCheck}); }));
  }
  std::set<std::string> answers;
  for (auto& client : clients) {
    const std::vector<std::string> answer = client.get();
    ASSERT_EQ(answer.size(), 1u);
    answers.insert(answer[0]);
  }
  EXPECT_EQ(answers.size(), 1u) << *answers.begin();
  EXPECT_EQ(product.updaterProcesses().size(), 1u);
}

TEST_F(RequestChannel, CodeOfAnotherTeamIsNotAnswered) {
  const InstalledProduct product(server_.url("/updates/"), "other-team.pem");
  const std::vector<std::string> answers = product.ask({kCheck});
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(parsed(answers[0]),
            (Json{{"error", std::string(bramlow::markers::kConnectionNotAuthenticated)}}));
  EXPECT_EQ(server_.requestCount("/updates/latest.json"), 0u);
}

}  // namespace
