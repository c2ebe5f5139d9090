// The setup application's one window: the product, its version, how to enable the extension, the
// extension's state as the browser reports it, and buttons to open the browser's extension
// settings and to check the state again. Everything here runs on the main thread; the browser's
// answers arrive on other threads and are moved to the main loop before they touch a widget.
#pragma once

#include <gtk/gtk.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "Bramlow_for_Safari/GObjectPtr.h"
#include "platform/browser/ExtensionManager.h"
#include "platform/bundle/Bundle.h"

namespace bramlow::setup {

// What an answer of the browser shows, and the diagnostic line it writes, if any.
struct StatusAnswer {
  std::string text;
  std::optional<std::string> logLine;
};

StatusAnswer statusForExtensionState(const std::optional<platform::ExtensionState>& state,
                                     const std::exception_ptr& error);
StatusAnswer statusForSettingsAnswer(const std::exception_ptr& error);

// An error's text for the user and the log ("unknown error" when it carries none).
std::string localizedDescription(const std::exception_ptr& error);

// Runs fn on the main loop, later, whichever thread calls this.
void dispatchToMainLoop(std::function<void()> fn);

class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  // Makes the status label and the settings button with their texts translated; GTK must be
  // initialised. bundle is the application's own bundle; extensions must outlive the delegate.
  static std::shared_ptr<AppDelegate> create(GtkApplication* application, platform::Bundle bundle,
                                             platform::ExtensionManager& extensions);
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // Installs the menu, builds and shows the window, then refreshes the status.
  void applicationDidFinishLaunching();
  // Asks the browser for the extension's state; the status text stays until the answer arrives.
  void refreshStatus();
  // Disables the settings button and asks the browser to show the extension's settings.
  void openSettings();
  // Refreshes the status, once the window exists.
  void applicationDidBecomeActive();
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

  // The main bundle's identifier followed by ".Extension", computed at each use.
  std::string extensionIdentifier() const;

  GtkApplication* application() const { return application_; }
  GtkWindow* window() const { return window_.get(); }
  GtkLabel* status() const { return status_.get(); }
  GtkButton* settingsButton() const { return settingsButton_.get(); }

 private:
  AppDelegate(GtkApplication* application, platform::Bundle bundle,
              platform::ExtensionManager& extensions);
  void installMenu();
  void buildWindow();
  void show(const StatusAnswer& answer);

  struct WindowDeleter {
    void operator()(GtkWindow* window) const;
  };

  GtkApplication* application_;
  platform::Bundle bundle_;
  platform::ExtensionManager& extensions_;
  std::unique_ptr<GtkWindow, WindowDeleter> window_;
  GObjectPtr<GtkLabel> status_;
  GObjectPtr<GtkButton> settingsButton_;
};

// The application's entry: creates the application and its delegate, runs the main loop until the
// window is closed or the user quits, and returns the exit status. onFirstFrame, when set, runs
// once after the window's first frame has been drawn.
int runSetupApplication(int argc, char** argv, platform::Bundle bundle,
                        platform::ExtensionManager& extensions,
                        std::function<void(AppDelegate&)> onFirstFrame = {},
                        GApplicationFlags flags = G_APPLICATION_DEFAULT_FLAGS);

}  // namespace bramlow::setup
