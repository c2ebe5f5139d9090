// The request channel through real processes: a client talks to the real extension host, which
// starts the real updater on demand; both are the built executables, installed and signed.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Bundle.h"
#include "platform/Json.h"
#include "platform/PropertyList.h"
#include "shared/UpdateFailure.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/support/TestHttpsServer.h"

namespace {
namespace fs = std::filesystem;
namespace plist = platform::plist;
namespace markers = bramlow::markers;
using namespace testing_support;
using platform::Json;
using Answers = std::vector<Json>;

// The built application installed into a test platform root as a user would have it: signed inside
// out by the codesign tool, its updater pointed at the test server, and an environment of its own
// (platform root, home, caches and runtime folders), so tests never meet each other's services.
class InstalledProduct {
 public:
  explicit InstalledProduct(const std::string& baseURL) {
    fs::create_directories(appURL().parent_path());
    fs::copy(BRAMLOW_APP_DIR, appURL(),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    const fs::path extension = appURL() / "Contents/PlugIns" / kExtensionName;
    const fs::path updater = extension / "Contents/XPCServices/BramlowUpdater.xpc";
    for (const auto& [bundle, key, value] : {std::tuple(updater, "UpdateBaseURL", baseURL.c_str()),
                                             std::tuple(updater, "UpdateSigningTeam", kTeam),
                                             std::tuple(extension, "BramlowSigningTeam", kTeam)}) {
      plist::Dictionary info = platform::Bundle(bundle).infoDictionary();
      info[key] = value;
      writeInfoPlist(bundle, info);
    }
    // The system's tools, where the updater runs them.
    fs::create_directories(root() / "usr/sbin");
    fs::create_directories(root() / "usr/bin");
    fs::create_symlink(BRAMLOW_SPCTL, root() / "usr/sbin/spctl");
    fs::create_symlink(BRAMLOW_HDIUTIL, root() / "usr/bin/hdiutil");
    fs::create_symlink(BRAMLOW_DITTO, root() / "usr/bin/ditto");
    installAnchors(root());
    TestTlsIdentity::shared().installTrust(root());
    writeFile(root() / "System/Library/CoreServices/SystemVersion.plist",
              plist::serialize(plist::Dictionary{{"ProductVersion", "14.0"}}));
    for (const fs::path& bundle : {updater, extension, appURL()}) sign(bundle);
    for (const char* folder : {"home/.cache", "run"}) fs::create_directories(root() / folder);
    fs::permissions(root() / "run", fs::perms::owner_all);
  }
  ~InstalledProduct() {
    for (const pid_t pid : updaterProcesses()) ::kill(pid, SIGKILL);
    waitForUpdaterExit(5);
  }

  void sign(const fs::path& bundle) const {
    const RunResult signing = runProgram(
        {BRAMLOW_CODESIGN, "--sign", identityFile("developer-id.pem").string(), bundle.string()});
    if (signing.exitCode != 0) throw std::runtime_error("codesign failed: " + signing.err);
  }
  const fs::path& root() const { return root_.path(); }
  fs::path appURL() const { return root() / "Applications" / kAppName; }
  fs::path extensionExecutable() const {
    return appURL() / "Contents/PlugIns" / kExtensionName /
           "Contents/MacOS/Bramlow for Safari Extension";
  }
  fs::path servicesFolder() const {
    return appURL() / "Contents/PlugIns" / kExtensionName / "Contents/XPCServices";
  }
  std::vector<std::string> environment() const {
    return {"BRAMLOW_PLATFORM_ROOT=" + root().string(), "HOME=" + (root() / "home").string(),
            "XDG_CACHE_HOME=" + (root() / "home/.cache").string(),
            "XDG_RUNTIME_DIR=" + (root() / "run").string()};
  }
  // Sends each message through the real extension host, as a browser would; the answers in order.
  Answers ask(const std::vector<std::string>& messages) const {
    std::vector<std::string> argv{BRAMLOW_NATIVE_MESSAGE, extensionExecutable().string()};
    argv.insert(argv.end(), messages.begin(), messages.end());
    std::istringstream lines(runProgram(argv, environment()).out);
    Answers answers;
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("answer:  ")) answers.push_back(platform::parseJson(line.substr(9)));
    }
    return answers;
  }

  // Sends each message straight to the updater in servicesFolder through the channel client;
  // the answers in order.
  Answers askDirectly(const fs::path& client, const fs::path& services,
                      const std::vector<std::string>& messages) const {
    std::vector<std::string> argv{client.string(), services.string(), kUpdaterID};
    argv.insert(argv.end(), messages.begin(), messages.end());
    std::istringstream lines(runProgram(argv, environment()).out);
    Answers answers;
    for (std::string line; std::getline(lines, line);) answers.push_back(platform::parseJson(line));
    return answers;
  }

  // The processes that run an updater of this installation (also one an install has moved away).
  std::vector<pid_t> updaterProcesses() const {
    std::vector<pid_t> pids;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::error_code ignored;
      const std::string exe = fs::read_symlink(entry.path() / "exe", ignored).string();
      if (exe.starts_with(root().string() + "/") &&
          exe.find("/MacOS/BramlowUpdater") != std::string::npos) {
        pids.push_back(static_cast<pid_t>(std::stol(name)));
      }
    }
    return pids;
  }
  bool waitForUpdaterExit(int seconds) const {
    return waitUntil(std::chrono::seconds(seconds), [this] { return updaterProcesses().empty(); });
  }

 private:
  TempDir root_;
};

// The service's quiet period before it exits (5 s), and slack for a loaded machine.
constexpr int kIdleExitSeconds = 30;
constexpr const char* kInfo = R"({"action":"info"})";
constexpr const char* kCheck = R"({"action":"check"})";

// The whole update as a browser drives it: release 2, made and checked by the publishing tool,
// replaces the installed build 1 through the real host and updater, leaving nothing beside it.
TEST(RequestChannel, TheWholeUpdateThroughTheHostAndUpdater) {
  TestHttpsServer server;
  const std::string base = server.url("/updates/");
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
  const std::string image = "/updates/" + std::string(kArtifactPrefix) + "-2.dmg";
  server.setReply("/updates/latest.json", 200, readFile(release / "latest.json"));
  const Json checked = {{"version", "2"}, {"nativeVersion", "2.0.0"}, {"payloadVersion", "2.0.0"}};

  // A real browser (77: none here): Chromium's test extension sends native messages.
  const RunResult browser = runProgram(
      {"/bin/bash", BRAMLOW_BROWSER_TEST, product.extensionExecutable().string(), kInfo,
       R"({"supported":true,"build":"1","nativeVersion":"1.0.0"})", kCheck, checked.dump(),
       R"({"action":"update"})", R"({"error":"[[Unsupported update operation. =b0f84c]]"})"},
      product.environment());
  EXPECT_TRUE(browser.exitCode == 0 || browser.exitCode == 77) << browser.out << browser.err;
  // The updater started on demand answers the second check from its cache.
  EXPECT_EQ(product.ask({kCheck, kCheck}), Answers(2, checked));
  EXPECT_EQ(server.requestCount("/updates/latest.json"), 1u);
  const std::vector<pid_t> updater = product.updaterProcesses();
  ASSERT_EQ(updater.size(), 1u);

  // Requests a script may send, through the host; requests only another client sends, straight to
  // the updater: signed as the extension, unsigned, and to a copy of the updater outside the app.
  const fs::path client = product.root() / "Client.appex";
  plist::Dictionary clientInfo = defaultExtensionInfo();
  clientInfo["CFBundleExecutable"] = "client";
  writeInfoPlist(client, clientInfo);
  fs::create_directories(client / "Contents/MacOS");
  fs::copy_file(BRAMLOW_CHANNEL_CLIENT, client / "Contents/MacOS/client");
  product.sign(client);
  const fs::path elsewhere = product.root() / "Elsewhere";
  fs::create_directories(elsewhere);
  fs::copy(product.servicesFolder(), elsewhere, fs::copy_options::recursive);
  const auto error = [](std::string_view marker) { return Json{{"error", std::string(marker)}}; };
  const Json invalidBuild = error(markers::kInvalidBuild);
  const Json releaseChanged = error(markers::kReleaseChanged);
  enum Via { kHost, kClient, kUnsignedClient, kCopiedUpdater };
  const struct {
    const char* name;
    Via via;
    std::vector<std::string> messages;
    Json answer;  // the only one
  } rows[] = {
      {"letter case", kHost, {R"({"action":"Check"})"}, error(markers::kUnsupportedOperation)},
      {"build 0", kHost, {R"({"action":"download","build":"0"})"}, invalidBuild},
      {"build 01", kHost, {R"({"action":"install","build":"01"})"}, invalidBuild},
      {"build 12a", kHost, {R"({"action":"download","build":"12a"})"}, invalidBuild},
      {"numeric build", kHost, {R"({"action":"download","build":2})"}, invalidBuild},
      {"force as text", kHost, {R"({"action":"check","force":"true"})"}, checked},
      {"not the cached build", kHost, {R"({"action":"download","build":"3"})"}, releaseChanged},
      {"no image held",
       kHost,
       {R"({"action":"install","build":"2"})"},
       error(markers::kCouldNotComplete)},
      {"no action", kClient, {"{}"}, error(markers::kMissingOperation)},
      {"no build", kClient, {R"({"action":"download"})"}, releaseChanged},
      {"force as text, straight", kClient, {R"({"action":"check","force":"yes"})"}, checked},
      {"after an error event", kClient, {"close", kCheck}, checked},
      {"unsigned", kUnsignedClient, {"{}"}, error(markers::kConnectionNotAuthenticated)},
      {"service not made",
       kCopiedUpdater,
       {R"({"action":"bogus"})"},
       error(markers::kNotInsideApp)},
  };
  for (const auto& [name, via, messages, answer] : rows) {
    const Answers answers =
        via == kHost
            ? product.ask(messages)
            : product.askDirectly(
                  via == kClient ? client / "Contents/MacOS/client" : BRAMLOW_CHANNEL_CLIENT,
                  via == kCopiedUpdater ? elsewhere : product.servicesFolder(), messages);
    EXPECT_EQ(answers, Answers{answer}) << name;
  }
  // Nothing forced a fetch, and the same updater answered throughout.
  EXPECT_EQ(server.requestCount("/updates/latest.json"), 1u);
  std::vector<pid_t> running = product.updaterProcesses();
  EXPECT_NE(std::find(running.begin(), running.end(), updater[0]), running.end());

  server.setReply(image, 200, readFile(release / fs::path(image).filename()));
  const std::string download = R"({"action":"download","build":"2"})";
  const std::string install = R"({"action":"install","build":"2"})";
  const Json installed = {{"version", "2"}, {"installed", true}};
  EXPECT_EQ(product.ask({download, install}), (Answers{Json{{"version", "2"}}, installed}));
  // The updater that replaced its own application ends with its clients, taking the old
  // application with it; the new host and a newly started updater answer next.
  ASSERT_TRUE(product.waitForUpdaterExit(kIdleExitSeconds));
  // At the installed build, "download" answers after the package check, without the network.
  EXPECT_EQ(product.ask({kInfo, install, download}),
            (Answers{Json{{"supported", true}, {"build", "2"}, {"nativeVersion", "2.0.0"}},
                     installed, installed}));
  EXPECT_EQ(server.requestCount(image), 1u);
  for (const auto& entry : fs::directory_iterator(product.appURL().parent_path())) {
    EXPECT_EQ(entry.path(), product.appURL()) << "left beside the application";
  }
  // Direct updates are on for the exact text "YES" only: not for "yes", nor for a Boolean.
  const fs::path extension = product.appURL() / "Contents/PlugIns" / kExtensionName;
  for (const bool asText : {true, false}) {
    plist::Dictionary info = platform::Bundle(extension).infoDictionary();
    info["BramlowDirectUpdates"] = asText ? plist::Value("yes") : plist::Value(true);
    writeInfoPlist(extension, info);
    EXPECT_EQ(product.ask({kInfo}),
              Answers{Json({{"supported", false}, {"build", "2"}, {"nativeVersion", "2.0.0"}})});
  }
}

}  // namespace
