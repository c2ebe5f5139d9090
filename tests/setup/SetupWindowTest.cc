// The real setup window on a real (virtual) X display: the answers of the browser as they reach
// the window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "Bramlow_for_Safari/AppDelegate.h"
#include "Bramlow_for_Safari/MessageCatalog.h"
#include "Bramlow_for_Safari/SetupMarkers.h"
#include "platform/env/Fd.h"
#include "tests/support/TestSupport.h"

namespace {
namespace fs = std::filesystem;
using bramlow::setup::AppDelegate;
using bramlow::setup::GObjectPtr;
using bramlow::setup::translateMarker;
using platform::ExtensionState;
namespace markers = bramlow::setup::markers;

extern "C" char** environ;

pid_t xvfb = -1;

// Starts an Xvfb server on a display nobody uses, for the life of the test process, and points GTK
// at it; false when none could be started.
bool startVirtualDisplay() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  platform::UniqueFd readEnd(fds[0]);
  platform::UniqueFd writeEnd(fds[1]);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  posix_spawn_file_actions_adddup2(&fa, writeEnd.get(), 3);
  // Abstract sockets only ("-nolisten unix" keeps the abstract one): nothing left in /tmp.
  const char* argv[] = {"Xvfb",      "-displayfd", "3",         "-screen", "0",    "1280x1024x24",
                        "-nolisten", "tcp",        "-nolisten", "unix",    nullptr};
  const int spawned = posix_spawnp(&xvfb, "Xvfb", &fa, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  writeEnd.reset();
  if (spawned != 0) return false;
  std::atexit([] {
    ::kill(xvfb, SIGTERM);
    ::waitpid(xvfb, nullptr, 0);
  });
  std::string number;  // Xvfb writes it when ready; the pipe ends should it fail
  for (char c; testing_support::readWithin(readEnd.get(), &c, 1) == 1 && c != '\n';) number += c;
  if (number.empty()) return false;
  ::setenv("DISPLAY", (":" + number).c_str(), 1);
  ::setenv("GDK_BACKEND", "x11", 1);
  ::unsetenv("WAYLAND_DISPLAY");
  ::setenv("GTK_A11Y", "none", 1);
  return true;
}

// Browser answers under the test's control: requests are recorded and answered when the test
// says, from another thread as the real browser services do.
class FakeExtensionManager : public platform::ExtensionManager {
 public:
  void getStateOfExtension(const std::string& identifier, StateCompletion completion) override {
    EXPECT_EQ(identifier, "com.bramlow.safari-extension.Extension");
    stateRequests.push_back(std::move(completion));
  }
  void showSettingsForExtension(const std::string&, SettingsCompletion) override {}
  // Answers the oldest state request from another thread, as the browser's services do.
  void answer(const std::optional<ExtensionState>& state, const std::exception_ptr& error) {
    ASSERT_FALSE(stateRequests.empty());
    std::thread(std::move(stateRequests.front()), state, error).join();
    stateRequests.erase(stateRequests.begin());
  }

  std::vector<StateCompletion> stateRequests;
};

// Runs the main loop until done() or a few seconds have passed.
bool pumpUntil(const std::function<bool()>& done) {
  return testing_support::waitUntil(std::chrono::seconds(10), [&] {
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    return done();
  });
}

// Lets pending main-loop work run (answers already posted, redraws).
void settle() {
  int rounds = 0;
  pumpUntil([&] { return ++rounds > 20; });
}

class SetupWindowTest : public testing::Test {
 protected:
  // The Env makes the built application the main bundle, so its catalogs are the ones in use.
  class AppEnv : public testing_support::TestEnv {
   public:
    using TestEnv::TestEnv;
    fs::path executablePath() override {
      return fs::path(BRAMLOW_APP_DIR) / "Contents" / "MacOS" / "Bramlow for Safari";
    }
  };

  void SetUp() override {
    static const bool display = startVirtualDisplay();
    if (!display || !gtk_init_check()) GTEST_SKIP() << "no X display could be started";
  }
  void TearDown() override {
    delegate_.reset();
    application_.reset();
    settle();
    bramlow::setup::resetMessageCatalogForTesting();
  }

  void launch() {
    env_.setPreferredLanguages({"en"});
    bramlow::setup::resetMessageCatalogForTesting();
    application_.reset(gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE));
    ASSERT_TRUE(g_application_register(G_APPLICATION(application_.get()), nullptr, nullptr));
    delegate_ =
        AppDelegate::create(application_.get(), platform::Bundle(BRAMLOW_APP_DIR), manager_);
    delegate_->applicationDidFinishLaunching();
    GtkWidget* window = GTK_WIDGET(delegate_->window());
    // Shown and laid out.
    ASSERT_TRUE(
        pumpUntil([&] { return gtk_widget_get_mapped(window) && gtk_widget_get_width(window); }));
    ASSERT_FALSE(manager_.stateRequests.empty()) << "launching refreshes the status";
  }

  // The second of the two buttons in the last of the window's arranged views.
  GtkWidget* checkAgainButton() const {
    GtkWidget* views = gtk_widget_get_first_child(gtk_window_get_child(delegate_->window()));
    return gtk_widget_get_last_child(gtk_widget_get_last_child(views));
  }

  testing_support::TempDir dir_;
  AppEnv env_{dir_.path()};
  platform::ScopedEnvForTesting scoped_{env_};
  FakeExtensionManager manager_;
  GObjectPtr<GtkApplication> application_;
  std::shared_ptr<AppDelegate> delegate_;
};

// Answers reach the window on the main loop; a refresh keeps the text until its answer arrives.
TEST_F(SetupWindowTest, EachAnswerOfTheBrowserReachesTheStatus) {
  launch();
  GtkLabel* status = delegate_->status();
  while (manager_.stateRequests.size() > 1) manager_.answer(std::nullopt, nullptr);
  settle();
  const auto failure = std::make_exception_ptr(std::runtime_error("manifest unreadable"));
  std::string previous = gtk_label_get_text(status);
  const struct {
    std::optional<ExtensionState> state;
    std::exception_ptr error;
    std::string_view marker;
  } rows[] = {{ExtensionState{true}, failure, markers::kStatusUnavailable},  // the error wins
              {std::nullopt, nullptr, markers::kNoStatus},
              {ExtensionState{false}, nullptr, markers::kNotEnabled},
              {ExtensionState{true}, nullptr, markers::kEnabled}};
  for (const auto& [state, error, marker] : rows) {
    SCOPED_TRACE(marker);
    if (manager_.stateRequests.empty()) g_signal_emit_by_name(checkAgainButton(), "clicked");
    ASSERT_EQ(manager_.stateRequests.size(), 1u);
    settle();
    manager_.answer(state, error);
    EXPECT_EQ(gtk_label_get_text(status), previous) << "not before the main loop runs";
    ASSERT_TRUE(pumpUntil([&] { return gtk_label_get_text(status) != previous; }));
    EXPECT_EQ(gtk_label_get_text(status), translateMarker(marker));
    previous = gtk_label_get_text(status);
  }
}

}  // namespace
