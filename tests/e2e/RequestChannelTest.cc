// The request channel through real processes: a client talks to the real extension host, which
// starts the real updater on demand; both are the built executables, installed and signed. The
// release comes as publishers serve it: the publishing tool's folder on a static HTTPS server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <map>
#include <thread>

#include "platform/bundle/Bundle.h"
#include "platform/env/Fd.h"
#include "shared/UpdateFailure.h"
#include "tests/e2e/InstalledProduct.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/support/TestHttpsServer.h"
#include "tests/updater/UpdaterTestSupport.h"
#include "tools/release/Identities.h"

namespace {
namespace fs = std::filesystem;
namespace plist = platform::plist;
namespace markers = bramlow::markers;
using namespace testing_support;
using platform::Json;
using platform::UniqueFd;
using Answers = std::vector<Json>;

constexpr const char* kNginx = "/usr/sbin/nginx";

// A port nobody listens on now; another program may still take it before nginx does.
int freePort() {
  const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};  // any address: a port free on all is free on loopback
  address.sin_family = AF_INET;
  socklen_t size = sizeof address;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("no free loopback port");
  return ntohs(address.sin_port);
}

// nginx serving `site` over HTTPS on a loopback port with the publishing tool's loopback
// certificate, as tests/e2e/nginx.conf sets it up.
class Nginx {
 public:
  explicit Nginx(const fs::path& site) {
    // A port taken between the probe and nginx's bind ends nginx at once: try another. nginx
    // writes its pid file once it listens.
    for (int attempt = 0; attempt < 5 && !program_; ++attempt) {
      port_ = freePort();
      std::string conf = readFile(BRAMLOW_NGINX_CONF);
      for (const auto& [name, value] :
           {std::pair<std::string, std::string>{"@FOLDER@", path("")},
            {"@PORT@", std::to_string(port_)},
            {"@TLS@", identityFile(bramlow::release::kTlsServerFile).string()},
            {"@SITE@", site.string()}}) {
        for (std::size_t at; (at = conf.find(name)) != std::string::npos;)
          conf.replace(at, name.size(), value);
      }
      writeFile(path("nginx.conf"), conf);
      program_.emplace(std::vector<std::string>{kNginx, "-p", path(""), "-c", path("nginx.conf"),
                                                "-e", path("error.log")},
                       std::vector<std::string>{}, path("output.log"));
      waitUntil(std::chrono::seconds(30),
                [this] { return !program_->running() || fs::exists(path("nginx.pid")); });
      if (!program_->running()) program_.reset();
    }
    if (!program_) throw std::runtime_error("nginx did not start: " + errors());
  }

  std::string url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string errors() const { return logText("error.log"); }
  // How many requests for the path the access log holds.
  std::size_t requestCount(const std::string& path) const {
    std::size_t count = 0;
    const std::string log = logText("access.log");
    for (std::size_t at = 0; (at = log.find("\"GET " + path + " ", at)) != std::string::npos; ++at)
      ++count;
    return count;
  }

 private:
  std::string path(const char* name) const { return (folder_.path() / name).string(); }
  std::string logText(const char* name) const {
    return fs::exists(path(name)) ? readFile(path(name)) : "";
  }

  TempDir folder_;
  int port_ = 0;
  std::optional<BackgroundProgram> program_;
};

// The service's quiet period before it exits (5 s), and slack for a loaded machine.
constexpr std::chrono::seconds kIdleExit{30};

// The whole update as a browser drives it: release 2, made and checked by the publishing tool and
// served as it was written by an ordinary static HTTPS server, replaces the installed build 1
// through the real host and updater, leaving nothing beside it.
TEST(RequestChannel, TheWholeUpdateThroughTheHostAndUpdater) {
  if (!fs::exists(kNginx)) GTEST_SKIP() << "needs nginx (Debian's nginx-light) at " << kNginx;
  const TempDir site;
  const Nginx nginx(site.path());
  const std::string base = nginx.url("/updates/");
  const InstalledProduct product(base);
  product.packageRelease(base, site.path() / "updates");

  // The updater started on demand answers the second check from its cache.
  EXPECT_EQ(product.ask({kCheck, kCheck}), Answers(2, kChecked)) << nginx.errors();
  EXPECT_EQ(nginx.requestCount("/updates/latest.json"), 1u);
  const std::vector<pid_t> updater = product.updaterProcesses();
  ASSERT_EQ(updater.size(), 1u);

  // Requests a script may send, through the host; requests only another client sends, straight to
  // the updater: signed as the extension, unsigned, and to a copy of the updater outside the app.
  const fs::path client = product.root() / "Client.appex";
  const fs::path signedClient = client / "Contents/MacOS/Bramlow for Safari Extension";
  writeInfoPlist(client, defaultExtensionInfo());
  fs::create_directories(signedClient.parent_path());
  fs::copy_file(BRAMLOW_CHANNEL_CLIENT, signedClient);
  product.sign(client);
  const fs::path elsewhere = product.root() / "Elsewhere";
  fs::copy(product.servicesFolder(), elsewhere, fs::copy_options::recursive);
  const auto error = [](std::string_view marker) { return Json{{"error", std::string(marker)}}; };
  const Json invalidBuild = error(markers::kInvalidBuild);
  const Json releaseChanged = error(markers::kReleaseChanged);
  const Json notInside = error(markers::kNotInsideApp);
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
      {"16 digits", kHost, {R"({"action":"install","build":"1234567890123456"})"}, invalidBuild},
      {"line break after", kHost, {R"({"action":"install","build":"5\n"})"}, invalidBuild},
      {"no build, via the host", kHost, {R"({"action":"download"})"}, invalidBuild},
      {"numeric build", kHost, {R"({"action":"download","build":2})"}, invalidBuild},
      {"force as text", kHost, {R"({"action":"check","force":"true"})"}, kChecked},
      {"not the cached build", kHost, {R"({"action":"download","build":"3"})"}, releaseChanged},
      {"15 digits", kHost, {R"({"action":"download","build":"999999999999999"})"}, releaseChanged},
      {"no image held", kHost, {kInstall}, error(markers::kCouldNotComplete)},
      {"no action", kClient, {"{}"}, error(markers::kMissingOperation)},
      {"no build", kClient, {R"({"action":"download"})"}, releaseChanged},
      {"force as text, straight", kClient, {R"({"action":"check","force":"yes"})"}, kChecked},
      {"after an error event", kClient, {"close", kCheck}, kChecked},
      {"unsigned", kUnsignedClient, {"{}"}, error(markers::kConnectionNotAuthenticated)},
      {"service not made", kCopiedUpdater, {R"({"action":"bogus"})"}, notInside},
  };
  for (const auto& [name, via, messages, answer] : rows) {
    EXPECT_EQ(product.ask(messages,
                          via == kHost     ? fs::path()
                          : via == kClient ? signedClient
                                           : fs::path(BRAMLOW_CHANNEL_CLIENT),
                          via == kCopiedUpdater ? elsewhere : product.servicesFolder()),
              Answers{answer})
        << name;
  }
  // Nothing forced a fetch, and the same updater answered throughout; a force of 1 does.
  EXPECT_EQ(nginx.requestCount("/updates/latest.json"), 1u);
  EXPECT_EQ(product.ask({R"({"action":"check","force":1})"}), Answers{kChecked});
  EXPECT_EQ(nginx.requestCount("/updates/latest.json"), 2u);
  EXPECT_THAT(product.updaterProcesses(), testing::Contains(updater[0]));

  EXPECT_EQ(product.ask({kDownload, kInstall}), (Answers{kDownloaded, kInstalled}));
  // The updater that replaced its own application ends with its clients, taking the old
  // application with it; the new host and a newly started updater answer next.
  ASSERT_TRUE(product.waitForUpdaterExit(kIdleExit));
  // At the installed build, "download" answers after the package check, without the network.
  const std::string image = "/updates/" + std::string(kArtifactPrefix) + "-2.dmg";
  EXPECT_EQ(product.ask({kInfo, kInstall, kDownload}),
            (Answers{infoAnswer(2), kInstalled, kInstalled}));
  EXPECT_EQ(nginx.requestCount(image), 1u);
  for (const auto& entry : fs::directory_iterator(product.appURL().parent_path()))
    EXPECT_EQ(entry.path(), product.appURL()) << "left beside the application";
  // Direct updates are on for the exact text "YES" only: not for "yes", nor for a Boolean.
  const fs::path extension = product.appURL() / "Contents/PlugIns" / kExtensionName;
  for (const bool asText : {true, false}) {
    plist::Dictionary info = platform::Bundle(extension).infoDictionary();
    info["BramlowDirectUpdates"] = asText ? plist::Value("yes") : plist::Value(true);
    writeInfoPlist(extension, info);
    EXPECT_EQ(product.ask({kInfo, kCheck}),
              (Answers{infoAnswer(2, false), error(markers::kAutomaticUpdatesUnavailable)}));
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
  product.publishRelease(server);
  const std::string image = std::string(kArtifactPrefix) + "-2.dmg";
  EXPECT_EQ(product.ask({kCheck, kDownload}), (Answers{kChecked, kDownloaded}));
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
  for (std::size_t i = 0; i < found.size(); ++i)
    EXPECT_TRUE(found[i] == newApp)
        << "power cut " << i << ": " << (found[i] == oldApp ? "the old application" : "broken");
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

// A browser may send as fast as it likes: a burst of checks in one session is answered in full
// while the host's threads stay few (sampled as the kernel counts them).
TEST(RequestChannel, ABurstOfChecksIsAnsweredInFullOnFewThreads) {
  constexpr int kChecks = 2000;
  constexpr long kMostThreads = 64;
  TestHttpsServer server;
  const InstalledProduct product(server.url("/updates/"));
  product.publishRelease(server);
  const RunResult burst =
      runProgram({"/usr/bin/timeout", "200", BRAMLOW_NATIVE_MESSAGE, "--burst", "--repeat",
                  std::to_string(kChecks), product.extensionExecutable().string(), kCheck},
                 product.environment());
  EXPECT_EQ(burst.exitCode, 0) << burst.err;
  EXPECT_NE(burst.out.find("answers: " + std::to_string(kChecks) + " " + kChecked.dump() + "\n"),
            std::string::npos)
      << burst.out;
  const std::size_t threads = burst.out.find("host threads at most: ");
  ASSERT_NE(threads, std::string::npos) << burst.out;
  const long most = std::stol(burst.out.substr(threads + 22));
  EXPECT_LE(most, kMostThreads) << burst.out;
  ::testing::Test::RecordProperty("hostThreadsAtMost", std::to_string(most));
}

}  // namespace
