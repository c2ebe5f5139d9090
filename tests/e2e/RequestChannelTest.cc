// The request channel through real processes: a client talks to the real extension host, which
// starts the real updater on demand; both are the built executables, installed and signed.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Bundle.h"
#include "platform/Json.h"
#include "platform/PropertyList.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/support/LoopVolume.h"
#include "tests/support/TestHttpsServer.h"
#include "tests/updater/UpdaterTestSupport.h"

namespace {
namespace fs = std::filesystem;
namespace plist = platform::plist;
using namespace testing_support;
using platform::Json;
using Answers = std::vector<Json>;

// The built application installed into a test platform root as a user would have it: signed inside
// out by the codesign tool, its updater pointed at the test server, and an environment of its own
// (platform root, home, caches and runtime folders), so tests never meet each other's services.
class InstalledProduct {
 public:
  // ownVolume puts the application's folder, and the caches in it, on a small ext4 volume of its
  // own, for power cuts.
  explicit InstalledProduct(const std::string& baseURL, bool ownVolume = false) {
    fs::create_directories(appURL().parent_path());
    if (ownVolume) {
      std::uintmax_t bytes = 0;
      for (const auto& entry : fs::recursive_directory_iterator(BRAMLOW_APP_DIR))
        bytes += entry.is_regular_file() ? entry.file_size() : 0;
      // The installed application, the staged copy of the new one, the held image, and the file
      // system's own.
      volume_.emplace(root() / "volume.img", 4 * (bytes >> 20) + 16, appURL().parent_path());
      caches_ = appURL().parent_path() / ".cache";
      fs::create_directory(caches_);
    }
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
    for (const fs::path& bundle : {updater, extension, appURL()}) {
      const RunResult signing = runProgram(
          {BRAMLOW_CODESIGN, "--sign", identityFile("developer-id.pem").string(), bundle.string()});
      if (signing.exitCode != 0) throw std::runtime_error("codesign failed: " + signing.err);
    }
    for (const char* folder : {"home/.cache", "run"}) fs::create_directories(root() / folder);
    fs::permissions(root() / "run", fs::perms::owner_all);
  }
  ~InstalledProduct() {
    for (const pid_t pid : updaterProcesses()) ::kill(pid, SIGKILL);
    waitForUpdaterExit(5);
  }

  const fs::path& root() const { return root_.path(); }
  const LoopVolume& volume() const { return *volume_; }
  fs::path appURL() const { return root() / "Applications" / kAppName; }
  fs::path extensionExecutable() const {
    return appURL() / "Contents/PlugIns" / kExtensionName /
           "Contents/MacOS/Bramlow for Safari Extension";
  }
  std::vector<std::string> environment() const {
    return {"BRAMLOW_PLATFORM_ROOT=" + root().string(), "HOME=" + (root() / "home").string(),
            "XDG_CACHE_HOME=" + caches_.string(), "XDG_RUNTIME_DIR=" + (root() / "run").string()};
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!updaterProcesses().empty()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }

 private:
  TempDir root_;
  fs::path caches_ = root() / "home/.cache";
  std::optional<LoopVolume> volume_;  // unmounted before root_ goes, after the updaters ended
};

// The service's quiet period before it exits (5 s), and slack for a loaded machine.
constexpr int kIdleExitSeconds = 30;
constexpr const char* kInfo = R"({"action":"info"})";
constexpr const char* kCheck = R"({"action":"check"})";
constexpr const char* kDownload = R"({"action":"download","build":"2"})";
constexpr const char* kInstall = R"({"action":"install","build":"2"})";
const Json kChecked = {{"version", "2"}, {"nativeVersion", "2.0.0"}, {"payloadVersion", "2.0.0"}};
const Json kInstalled = {{"version", "2"}, {"installed", true}};

// Release 2 of the installed application, made and checked by the publishing tool, and its
// "latest.json" served; the image is the test's to serve.
void publishRelease2(const InstalledProduct& product, TestHttpsServer& server) {
  const fs::path release = product.root() / "release";
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{BRAMLOW_RELEASE, "package", "--app", product.appURL().string(),
                                 "--identity", identityFile("developer-id.pem").string(),
                                 "--version", "2.0.0", "--build", "2", "--payload-version", "2.0.0",
                                 "--minimum-system", "11.0", "--base-url", server.url("/updates/"),
                                 "--out", release.string()},
        {BRAMLOW_RELEASE, "check", release.string()}}) {
    const RunResult run = runProgram(command, product.environment());
    ASSERT_EQ(run.exitCode, 0) << command[1] << ": " << run.err;
  }
  server.setReply("/updates/latest.json", 200, readFile(release / "latest.json"));
}

// The whole update as a browser drives it: release 2, made and checked by the publishing tool,
// replaces the installed build 1 through the real host and updater, leaving nothing beside it.
TEST(RequestChannel, TheWholeUpdateThroughTheHostAndUpdater) {
  TestHttpsServer server;
  const InstalledProduct product(server.url("/updates/"));
  ASSERT_NO_FATAL_FAILURE(publishRelease2(product, server));
  const fs::path release = product.root() / "release";
  const std::string image = "/updates/" + std::string(kArtifactPrefix) + "-2.dmg";

  // A real browser (77: none here): Chromium's test extension sends native messages.
  const RunResult browser = runProgram(
      {"/bin/bash", BRAMLOW_BROWSER_TEST, product.extensionExecutable().string(), kInfo,
       R"({"supported":true,"build":"1","nativeVersion":"1.0.0"})", kCheck, kChecked.dump(),
       R"({"action":"update"})", R"({"error":"[[Unsupported update operation. =b0f84c]]"})"},
      product.environment());
  EXPECT_TRUE(browser.exitCode == 0 || browser.exitCode == 77) << browser.out << browser.err;
  // The updater started on demand answers the second check from its cache.
  EXPECT_EQ(product.ask({kCheck, kCheck}), Answers(2, kChecked));
  EXPECT_EQ(server.requestCount("/updates/latest.json"), 1u);
  ASSERT_EQ(product.updaterProcesses().size(), 1u);

  server.setReply(image, 200, readFile(release / fs::path(image).filename()));
  EXPECT_EQ(product.ask({kDownload, kInstall}), (Answers{Json{{"version", "2"}}, kInstalled}));
  // The updater that replaced its own application ends with its clients, taking the old
  // application with it; the new host and a newly started updater answer next.
  ASSERT_TRUE(product.waitForUpdaterExit(kIdleExitSeconds));
  EXPECT_EQ(
      product.ask({kInfo, kInstall}),
      (Answers{Json{{"supported", true}, {"build", "2"}, {"nativeVersion", "2.0.0"}}, kInstalled}));
  for (const auto& entry : fs::directory_iterator(product.appURL().parent_path())) {
    EXPECT_EQ(entry.path(), product.appURL()) << "left beside the application";
  }
}

// A power cut at any moment after "installed" leaves the whole new application at its path: the
// answer waits until the copy and the exchange are on disk; so does a download's for its image.
// ext4 commits the exchange within about 5 s but writes file data back within 30 s, so a copy in
// between is the telling one.
TEST(RequestChannel, AnInstallAnsweredSurvivesAPowerCut) {
  if (const std::string why = LoopVolume::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
  TestHttpsServer server;
  const InstalledProduct product(server.url("/updates/"), /*ownVolume=*/true);
  ASSERT_NO_FATAL_FAILURE(publishRelease2(product, server));
  const std::string image = std::string(kArtifactPrefix) + "-2.dmg";
  server.setReply("/updates/" + image, 200, readFile(product.root() / "release" / image));
  EXPECT_EQ(product.ask({kCheck, kDownload}), (Answers{kChecked, Json{{"version", "2"}}}));
  const fs::path cut = product.root() / "cut";
  fs::create_directory(cut);
  {
    // What "install" will work from: the release information and the whole image.
    const auto mounted = product.volume().powerCut(product.root() / "cut.img", cut);
    std::map<std::string, std::string> held;
    for (const auto& entry : fs::recursive_directory_iterator(cut / ".cache")) {
      const std::string name = entry.path().filename();
      if (name == image || name == "release.json") held[name] = readFile(entry.path());
    }
    EXPECT_TRUE(held[image] == readFile(product.root() / "release" / image));
    EXPECT_EQ(held["release.json"], readFile(product.root() / "release/latest.json"));
  }

  const auto oldApp = snapshot(product.appURL());
  ASSERT_EQ(product.ask({kInstall}), Answers{kInstalled});
  const auto answered = std::chrono::steady_clock::now();
  std::vector<std::map<std::string, std::string>> found;
  for (const int seconds : {0, 7, 12}) {
    std::this_thread::sleep_until(answered + std::chrono::seconds(seconds));
    const auto mounted = product.volume().powerCut(product.root() / "cut.img", cut);
    found.push_back(snapshot(cut / kAppName));
  }
  const auto newApp = snapshot(product.appURL());
  ASSERT_TRUE(newApp != oldApp);
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_TRUE(found[i] == newApp)
        << "power cut " << i << ": " << (found[i] == oldApp ? "the old application" : "broken");
  }
}

// A user who reinstalls the application (removes it and puts a fresh copy at its path) while its
// updater still runs is answered by the updater of the copy installed now, from the first request.
TEST(RequestChannel, AReinstalledApplicationIsAnsweredByItsOwnUpdater) {
  TestHttpsServer server;
  const InstalledProduct product(server.url("/updates/"));
  const fs::path fresh = product.root() / "fresh";
  fs::copy(product.appURL(), fresh, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  const Answers before = product.ask({kCheck});
  ASSERT_EQ(product.updaterProcesses().size(), 1u);
  fs::remove_all(product.appURL());
  fs::rename(fresh, product.appURL());
  EXPECT_EQ(product.ask({kCheck, kCheck}), Answers(2, before.at(0)));
}

}  // namespace
