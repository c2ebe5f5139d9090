#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <future>

#include "Bramlow_for_Safari/AppDelegate.h"
#include "platform/browser/ExtensionManager.h"
#include "platform/env/Fd.h"
#include "tests/support/TestSupport.h"

namespace {
namespace fs = std::filesystem;
using platform::Browser;
using platform::BrowserExtensionManager;
using platform::ExtensionState;
using namespace testing_support;

class ExtensionManagerTest : public testing::Test {
 protected:
  ExtensionManagerTest() : app_(makeTestApp(dir_.path())) {}

  fs::path extensionExecutable() const {
    return app_.extensionURL / "Contents" / "MacOS" / "Bramlow for Safari Extension";
  }
  // A browser whose folders live in the test folder; present when its user folder exists.
  Browser browser(const std::string& name) const {
    const fs::path user = dir_.path() / name;
    return Browser{name, {dir_.path() / "bin" / name}, user, user / "hosts", {"--extensions"}, {}};
  }
  // A host manifest; more holds the members after "path".
  void writeManifest(const Browser& browser, const std::string& file, const fs::path& path,
                     const std::string& more = "") {
    writeFile(browser.manifestFolder / file,
              R"({"type": "stdio", "path": ")" + path.string() + "\"" + more + "}");
  }
  // A stand-in browser program: a shell script with the given body.
  void writeProgram(const Browser& browser, const std::string& body) {
    const fs::path program = browser.executables.front();
    writeFile(program, "#!/bin/sh\n" + body + "\n");
    ::chmod(program.c_str(), 0755);
  }
  std::optional<ExtensionState> state(std::vector<Browser> browsers) {
    return BrowserExtensionManager(app_.appURL, std::move(browsers)).stateOfExtension(kExtensionID);
  }
  // Runs showSettingsForExtension and waits for its answer; the error text, or "" when shown.
  std::string showSettings(std::vector<Browser> browsers) {
    BrowserExtensionManager manager(app_.appURL, std::move(browsers));
    manager.setLaunchGracePeriodForTesting(std::chrono::milliseconds(300));
    std::promise<std::exception_ptr> answer;
    manager.showSettingsForExtension(
        kExtensionID, [&answer](const std::exception_ptr& error) { answer.set_value(error); });
    const std::exception_ptr error = answer.get_future().get();
    return error ? bramlow::setup::localizedDescription(error) : std::string();
  }

  TempDir dir_;
  TestApp app_;
};

// A manifest counts only when the browser's own member lets some extension start the host; no
// browser gives no state, an unreadable manifest an error.
TEST_F(ExtensionManagerTest, AllowedListDecides) {
  EXPECT_EQ(state({browser("absent")}), std::nullopt);
  Browser chromium = browser("chromium");
  chromium.allowedKey = "allowed_origins";
  const struct {
    const char* name;
    std::string allowed;  // the manifest's members after "path"
    bool enabled;
  } cases[] = {
      {"names an origin", R"(, "allowed_origins": ["chrome-extension://abc/"])", true},
      {"no list", "", false},
      {"an empty list", R"(, "allowed_origins": [])", false},
      {"only an empty string", R"(, "allowed_origins": [""])", false},
      {"not a list", R"(, "allowed_origins": "chrome-extension://abc/")", false},
      {"the other browser's member", R"(, "allowed_extensions": ["test@example.org"])", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeManifest(chromium, "ours.json", extensionExecutable(), c.allowed);
    EXPECT_EQ(state({chromium})->isEnabled, c.enabled);
  }
  fs::create_symlink(app_.appURL, dir_.path() / "link.app");
  writeManifest(chromium, "ours.json",
                dir_.path() / "link.app" / extensionExecutable().lexically_relative(app_.appURL),
                cases[0].allowed);
  EXPECT_TRUE(state({chromium})->isEnabled) << "the same file through a link";
  writeFile(chromium.manifestFolder / "bad.json", "{\"path\": ");
  EXPECT_THROW(state({chromium}), std::exception);
}

// The browser gets /dev/null as stdin and stdout, a pipe as stderr, and no descriptor of ours; the
// error of one that fails at once tells why.
TEST_F(ExtensionManagerTest, SettingsOpenInTheBrowser) {
  const fs::path descriptors = dir_.path() / "descriptors";
  // Held open while the browser starts, without O_CLOEXEC on purpose.
  const platform::UniqueFd stray(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(stray.valid());
  const struct {
    const char* name;
    std::string program;   // empty: no program
    std::string expected;  // part of the error; empty: success
  } cases[] = {
      {"no browser", "", "No supported browser is installed."},
      {"fails at once", "echo 'cannot open display' >&2\nexit 3",
       "chromium exited with status 3: cannot open display."},
      {"still running after the grace period", "exec sleep 0.6", ""},
      {"inherits nothing", "exec '" FAKE_BROWSER "' '" + descriptors.string() + "'", ""},
  };
  const Browser chromium = browser("chromium");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(chromium.executables.front());
    if (!c.program.empty()) writeProgram(chromium, c.program);
    const std::string error = showSettings({chromium});
    EXPECT_TRUE(c.expected.empty() ? error.empty() : error.find(c.expected) != std::string::npos)
        << error;
  }
  EXPECT_EQ(readFile(descriptors), "0 /dev/null\n1 /dev/null\n2 pipe\n");
}

}  // namespace
