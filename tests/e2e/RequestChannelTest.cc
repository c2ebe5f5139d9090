// The request channel through real processes: a client talks to the real extension host, which
// starts the real updater on demand; both are the built executables, installed and signed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/e2e/InstalledProduct.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/support/LeakCheck.h"

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
  clients.reserve(10);
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

// The whole update as a browser drives it: release 2, made and checked by the publishing tool,
// replaces the installed build 1 through the real host and updater, and nothing is left behind.
TEST_F(RequestChannel, TheWholeUpdateThroughTheHostAndUpdater) {
  namespace fs = std::filesystem;
  const std::string base = server_.url("/updates/");
  const InstalledProduct product(base);
  const fs::path release = product.root() / "release";
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{BRAMLOW_RELEASE, "package", "--app", product.appURL().string(),
                                 "--identity", identityFile("developer-id.pem").string(),
                                 "--version", "2.0.0", "--build", "2", "--payload-version", "2.0.0",
                                 "--minimum-system", "11.0", "--base-url", base, "--out",
                                 release.string()},
        {BRAMLOW_RELEASE, "check", release.string()}}) {
    const RunResult run = runProgram(command, product.environment());
    ASSERT_EQ(run.exitCode, 0) << command[1] << ": " << run.err;
  }
  const std::string image = std::string(kArtifactPrefix) + "-2.dmg";
  const std::string bytes = readFile(release / image);
  server_.setReply("/updates/latest.json", 200, readFile(release / "latest.json"));
  const std::string download = R"({"action":"download","build":"2"})";
  std::vector<std::string> answers = product.ask({kCheck});
  ASSERT_EQ(answers.size(), 1u);

  // A truncated image is refused, and the updater, idle again, has left nothing behind.
  {
    const LeakCheck leaks(product.root(), {product.cacheFolder()}, server_.port());
    server_.setReply("/updates/" + image, 200, bytes.substr(0, bytes.size() - 1));
    answers = product.ask({download});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(parsed(answers[0]),
              (Json{{"error", std::string(bramlow::markers::kIntegrityCheckFailed)}}));
    leaks.expectNothingAdded({}, product.updaterProcesses());
  }

  server_.setReply("/updates/" + image, 200, bytes);
  answers = product.ask({download, R"({"action":"install","build":"2"})"});
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(parsed(answers[0]), (Json{{"version", "2"}}));
  EXPECT_EQ(parsed(answers[1]), (Json{{"version", "2"}, {"installed", true}}));
  EXPECT_EQ(server_.requestCount("/updates/" + image), 2u);
  // The updater that replaced its own application ends with its clients, taking the old
  // application with it; the new host and the new updater answer next.
  ASSERT_TRUE(product.waitForUpdaterExit(kIdleExitSeconds));
  answers = product.ask({R"({"action":"info"})", R"({"action":"install","build":"2"})"});
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(parsed(answers[0]),
            (Json{{"supported", true}, {"build", "2"}, {"nativeVersion", "2.0.0"}}));
  EXPECT_EQ(parsed(answers[1]), (Json{{"version", "2"}, {"installed", true}}));
  for (const auto& entry : fs::directory_iterator(product.appURL().parent_path())) {
    EXPECT_EQ(entry.path(), product.appURL()) << "left beside the application";
  }

  // Left behind: the release information and the lock, nothing else; no mount.
  std::vector<std::string> cached;
  for (const auto& entry : fs::recursive_directory_iterator(product.root() / "home/.cache")) {
    if (entry.is_regular_file()) cached.push_back(entry.path().filename().string());
  }
  std::sort(cached.begin(), cached.end());
  EXPECT_EQ(cached, (std::vector<std::string>{"release.json", "update.lock"}));
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    EXPECT_EQ(line.find(product.root().string()), std::string::npos) << line;
  }
}

TEST_F(RequestChannel, CodeOfAnotherTeamIsNotAnswered) {
  const InstalledProduct product(server_.url("/updates/"), "other-team.pem");
  const LeakCheck leaks(product.root(), {product.root() / "home/.cache"}, server_.port());
  const std::vector<std::string> answers = product.ask({kCheck});
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(parsed(answers[0]),
            (Json{{"error", std::string(bramlow::markers::kConnectionNotAuthenticated)}}));
  EXPECT_EQ(server_.requestCount("/updates/latest.json"), 0u);
  // Only the updater's own cache folder, which it makes when it starts.
  leaks.expectNothingAdded({"com.bramlow.updates"}, product.updaterProcesses());
}

}  // namespace
