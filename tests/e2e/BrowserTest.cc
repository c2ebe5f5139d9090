// Real browsers drive the whole update through the real host and updater. Each loads the test
// extension (tests/browser/extension), whose background script asks a driver on loopback for one
// native message after another, sends it to the host the browser starts from its manifest, and
// posts the answer back. The setup window's state is shown for each browser's manifest.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "Bramlow_for_Safari/AppDelegate.h"
#include "Bramlow_for_Safari/MessageCatalog.h"
#include "Bramlow_for_Safari/SetupMarkers.h"
#include "platform/browser/ExtensionManager.h"
#include "tests/e2e/InstalledProduct.h"
#include "tests/support/TestHttpsServer.h"

namespace {
namespace fs = std::filesystem;
namespace markers = bramlow::setup::markers;
using namespace testing_support;
using bramlow::setup::translateMarker;
using platform::Json;

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr const char* kFirefox = "/usr/bin/firefox-esr";
constexpr const char* kHostName = "com.bramlow.safari_extension";
// The ID Chromium derives from the "key" in tests/browser/extension/chromium.json: the first 128
// bits of the key's SHA-256, one letter a-p per hexadecimal digit.
constexpr const char* kChromiumExtensionID = "paohdcciplekjbgoifmagpnmpndnnobp";
constexpr const char* kFirefoxExtensionID = "native-messaging-test@bramlow.test";
// Starting a browser on a loaded machine takes tens of seconds, and the cycle under the sanitizers
// minutes; the wait stays well under the test's timeout (600 s).
constexpr std::chrono::seconds kCycleTimeout{360};

// Hands out native messages one at a time over plain HTTP on loopback and collects the answers.
class MessageDriver {
 public:
  explicit MessageDriver(std::vector<Json> messages) : messages_(std::move(messages)) {
    server_.set_default_headers({{"Access-Control-Allow-Origin", "*"}});
    server_.Get("/next", [this](const httplib::Request&, httplib::Response& response) {
      const std::lock_guard lock(mutex_);
      // null: nothing more to send
      const Json next = sent_ < messages_.size() ? messages_[sent_++] : Json();
      response.set_content(next.dump(), "application/json");
    });
    server_.Post("/answer", [this](const httplib::Request& request, httplib::Response&) {
      const Json answer = Json::parse(request.body, nullptr, /*allow_exceptions=*/false);
      const std::lock_guard lock(mutex_);
      answers_.push_back(answer.is_discarded() ? Json{{"unreadable", request.body}} : answer);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the driver found no loopback port");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~MessageDriver() {
    server_.stop();
    thread_.join();
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

  // The answers once count have arrived, or what arrived until the timeout or until alive() said
  // false (the browser ended).
  std::vector<Json> answers(std::size_t count, const std::function<bool()>& alive) {
    waitUntil(kCycleTimeout, [&] {
      const std::lock_guard lock(mutex_);
      return answers_.size() >= count || !alive();
    });
    const std::lock_guard lock(mutex_);
    return answers_;
  }

 private:
  httplib::Server server_;
  std::mutex mutex_;
  const std::vector<Json> messages_;
  std::size_t sent_ = 0;       // guarded by mutex_
  std::vector<Json> answers_;  // guarded by mutex_
  int port_ = 0;
  std::thread thread_;
};

class BrowserTest : public testing::Test {
 protected:
  BrowserTest() { product_.publishRelease(server_); }

  // The test extension for one browser in folder: its manifest, the script and the driver's
  // address.
  void writeExtension(const fs::path& folder, const char* manifest) const {
    fs::create_directories(folder);
    fs::copy_file(fs::path(BRAMLOW_BROWSER_DIR) / "extension" / manifest, folder / "manifest.json");
    fs::copy_file(fs::path(BRAMLOW_BROWSER_DIR) / "extension" / "background.js",
                  folder / "background.js");
    writeFile(folder / "driver.json", Json{{"url", driver_.url()}}.dump());
  }

  // The status the setup window shows for the installed application, with the browsers a user of
  // this home has.
  std::string setupStatus() const {
    const ScopedEnvironment home({{"HOME", product_.home().string()},
                                  {"XDG_CONFIG_HOME", (product_.home() / ".config").string()}});
    std::optional<platform::ExtensionState> state;
    std::exception_ptr error;
    try {
      state = platform::BrowserExtensionManager(product_.appURL(), platform::defaultBrowsers())
                  .stateOfExtension(kExtensionID);
    } catch (...) {
      error = std::current_exception();
    }
    return bramlow::setup::statusForExtensionState(state, error).text;
  }

  // Registers the extension executable as the host in the browser's manifest folder hosts (the
  // setup window sees it), where allowed names who may start it; then runs the browser in the
  // product's environment until the extension has the answers of the whole update: info, check,
  // download, install, and info from the new host, whose application the setup window then names.
  void expectTheWholeUpdate(const fs::path& hosts, const char* allowed, const std::string& who,
                            const std::vector<std::string>& argv) {
    EXPECT_EQ(setupStatus(), translateMarker(markers::kNotEnabled));
    writeFile(hosts / (std::string(kHostName) + ".json"),
              Json{{"name", kHostName},
                   {"description", "Bramlow for Safari Extension"},
                   {"path", product_.extensionExecutable().string()},
                   {"type", "stdio"},
                   {allowed, Json::array({who})}}
                  .dump());
    EXPECT_EQ(setupStatus(), translateMarker(markers::kEnabled));
    const fs::path log = product_.root() / "browser.log";
    const std::vector<Json> answers = [&] {
      BackgroundProgram browser(argv, product_.environment(), log);
      return driver_.answers(5, [&browser] { return browser.running(); });
    }();
    const std::vector<Json> expected = {infoAnswer(1), kChecked, kDownloaded, kInstalled,
                                        infoAnswer(2)};
    const std::string output = readFile(log);
    EXPECT_EQ(answers, expected) << "the browser's last output:\n"
                                 << output.substr(output.size() -
                                                  std::min<std::size_t>(output.size(), 3000));
    EXPECT_EQ(setupStatus(), translateMarker(markers::kEnabled))
        << "the new application is the one named";
  }

  TestHttpsServer server_;
  InstalledProduct product_{server_.url("/updates/")};
  MessageDriver driver_{{platform::parseJson(kInfo), platform::parseJson(kCheck),
                         platform::parseJson(kDownload), platform::parseJson(kInstall),
                         platform::parseJson(kInfo)}};
};

TEST_F(BrowserTest, ChromiumDrivesTheWholeUpdate) {
  if (::access(kChromium, X_OK) != 0) GTEST_SKIP() << "needs Debian's chromium at " << kChromium;
  const fs::path extension = product_.root() / "extension";
  writeExtension(extension, "chromium.json");
  // Chromium's default profile, where it and the setup window look for host manifests.
  const fs::path profile = product_.home() / ".config/chromium";
  expectTheWholeUpdate(
      profile / "NativeMessagingHosts", "allowed_origins",
      "chrome-extension://" + std::string(kChromiumExtensionID) + "/",
      {kChromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
       "--no-first-run", "--disable-background-networking", "--disable-component-update",
       "--disable-sync", "--disable-features=DisableLoadExtensionCommandLineSwitch",
       "--user-data-dir=" + profile.string(), "--disable-extensions-except=" + extension.string(),
       "--load-extension=" + extension.string(), "about:blank"});
}

TEST_F(BrowserTest, FirefoxDrivesTheWholeUpdate) {
  if (::access(kFirefox, X_OK) != 0) GTEST_SKIP() << "needs Debian's firefox-esr at " << kFirefox;
  const fs::path profile = product_.root() / "firefox-profile";
  writeExtension(profile / "extensions" / kFirefoxExtensionID, "firefox.json");
  fs::copy_file(fs::path(BRAMLOW_BROWSER_DIR) / "firefox-user.js", profile / "user.js");
  expectTheWholeUpdate(
      product_.home() / ".mozilla/native-messaging-hosts", "allowed_extensions",
      kFirefoxExtensionID,
      {kFirefox, "--headless", "--no-remote", "--profile", profile.string(), "about:blank"});
}

}  // namespace
