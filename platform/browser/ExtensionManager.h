// The browser's view of a web extension that an application bundle carries: whether the user has
// enabled it, and a way to take the user to the browser's extension settings.
//
// On this platform an extension is enabled in a browser when one of that browser's native-messaging
// host manifests names the extension's executable and lets an extension start it. Answers arrive
// through a completion, exactly once, on a thread of the manager's own (never the caller's), like
// the services it stands in for.
#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct ExtensionState {
  bool isEnabled = false;
};

class ExtensionManager {
 public:
  // Either error is set, or state is set, or neither (the browser had nothing to say).
  using StateCompletion =
      std::function<void(std::optional<ExtensionState> state, std::exception_ptr error)>;
  // error is null when the settings were shown.
  using SettingsCompletion = std::function<void(std::exception_ptr error)>;

  ExtensionManager() = default;
  ExtensionManager(const ExtensionManager&) = delete;
  ExtensionManager& operator=(const ExtensionManager&) = delete;
  virtual ~ExtensionManager() = default;

  virtual void getStateOfExtension(const std::string& identifier, StateCompletion completion) = 0;
  virtual void showSettingsForExtension(const std::string& identifier,
                                        SettingsCompletion completion) = 0;
};

// One browser the manager knows.
struct Browser {
  std::string name;
  // Programs that start the browser; the first one that exists and is executable is used.
  std::vector<std::filesystem::path> executables;
  // The browser's per-user folder: the browser counts as present when it or an executable exists.
  std::filesystem::path userFolder;
  // Folder of the user's native-messaging host manifests (*.json).
  std::filesystem::path manifestFolder;
  // Arguments that open the browser's extensions page.
  std::vector<std::string> settingsArguments;
  // The manifest member listing who may start the host: "allowed_origins" (Chromium's kind) or
  // "allowed_extensions" (Firefox). A manifest without a string in it lets no extension start the
  // host, so it does not enable anything. Empty: not checked.
  std::string allowedKey;
};

// Chromium, Google Chrome and Firefox as Debian installs them: programs under the platform root's
// usr/bin, user folders under $XDG_CONFIG_HOME (else ~/.config) and ~/.mozilla.
std::vector<Browser> defaultBrowsers();

// The executable of the plug-in with the identifier among bundle/Contents/PlugIns/*: the bundle
// whose CFBundleIdentifier matches, and its CFBundleExecutable. nullopt when there is none.
std::optional<std::filesystem::path> plugInExecutable(const std::filesystem::path& bundle,
                                                      const std::string& identifier);

// The real manager, for the extensions carried by one application bundle.
class BrowserExtensionManager final : public ExtensionManager {
 public:
  explicit BrowserExtensionManager(std::filesystem::path appBundle,
                                   std::vector<Browser> browsers = defaultBrowsers());

  void getStateOfExtension(const std::string& identifier, StateCompletion completion) override;
  void showSettingsForExtension(const std::string& identifier,
                                SettingsCompletion completion) override;

  // The work of getStateOfExtension, on the calling thread: nullopt when no browser is present;
  // throws when the extension is not in the bundle or a manifest or manifest folder cannot be read.
  std::optional<ExtensionState> stateOfExtension(const std::string& identifier) const;

  // showSettingsForExtension starts the first present browser whose manifests name the extension,
  // else the first present browser, on its extensions page. It fails when there is none, when the
  // program cannot be started, or when it exits unsuccessfully within the grace period; a browser
  // still running then counts as shown. It is left running when this application quits.

  // How long a started browser is watched for an early failure (default one second).
  void setLaunchGracePeriodForTesting(std::chrono::milliseconds period) { gracePeriod_ = period; }

 private:
  std::filesystem::path appBundle_;
  std::vector<Browser> browsers_;
  std::chrono::milliseconds gracePeriod_{1000};
};

}  // namespace platform
