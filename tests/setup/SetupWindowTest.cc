// The real setup window on a real (virtual) X display: its texts, a picture of it, the buttons
// and the answers of the browser as they reach the window.
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
#include "platform/Fd.h"
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
  void showSettingsForExtension(const std::string& identifier,
                                SettingsCompletion completion) override {
    EXPECT_EQ(identifier, "com.bramlow.safari-extension.Extension");
    settingsRequests.push_back(std::move(completion));
  }
  // Answers the oldest of the requests with the arguments.
  template <typename Completion, typename... Arguments>
  static void answer(std::vector<Completion>& requests, Arguments... arguments) {
    ASSERT_FALSE(requests.empty());
    std::thread(std::move(requests.front()), arguments...).join();
    requests.erase(requests.begin());
  }

  std::vector<StateCompletion> stateRequests;
  std::vector<SettingsCompletion> settingsRequests;
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

std::vector<GtkWidget*> children(GtkWidget* parent) {
  std::vector<GtkWidget*> result;
  for (GtkWidget* child = gtk_widget_get_first_child(parent); child;
       child = gtk_widget_get_next_sibling(child))
    result.push_back(child);
  return result;
}

// The text of a label or a button.
std::string text(GtkWidget* widget) {
  if (GTK_IS_LABEL(widget)) return gtk_label_get_text(GTK_LABEL(widget));
  return GTK_IS_BUTTON(widget) ? gtk_button_get_label(GTK_BUTTON(widget)) : "";
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

  void launch(const char* language) {
    manager_.stateRequests.clear();
    env_.setPreferredLanguages({language});
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

  // The window's arranged views, top to bottom; the last one holds the two buttons.
  std::vector<GtkWidget*> views() const {
    return children(gtk_widget_get_first_child(gtk_window_get_child(delegate_->window())));
  }
  GtkWidget* checkAgainButton() const { return children(views().at(6)).at(1); }

  // Renders the window as it is on screen into a PNG under the build folder.
  void render(const std::string& name) {
    GtkWidget* window = GTK_WIDGET(delegate_->window());
    const int width = gtk_widget_get_width(window);
    const int height = gtk_widget_get_height(window);
    GObjectPtr<GdkPaintable> paintable(gtk_widget_paintable_new(window));
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable.get(), snapshot, width, height);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    ASSERT_NE(node, nullptr);
    const graphene_rect_t viewport = {{0, 0}, {float(width), float(height)}};
    GObjectPtr<GdkTexture> texture(
        gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(window)), node, &viewport));
    gsk_render_node_unref(node);
    const fs::path path = fs::path(BRAMLOW_BINARY_DIR) / "setup-window" / (name + ".png");
    fs::create_directories(path.parent_path());
    EXPECT_TRUE(gdk_texture_save_to_png(texture.get(), path.c_str()));
    EXPECT_GT(fs::file_size(path), 10000u) << "no flat picture compresses this badly";
  }

  testing_support::TempDir dir_;
  AppEnv env_{dir_.path()};
  platform::ScopedEnvForTesting scoped_{env_};
  FakeExtensionManager manager_;
  GObjectPtr<GtkApplication> application_;
  std::shared_ptr<AppDelegate> delegate_;
};

// Every text in the user's language (the product name never translated); the catalog is loaded
// once, so its language stays.
TEST_F(SetupWindowTest, TextsInTheUsersLanguage) {
  for (const char* language : {"en", "de-DE"}) {
    SCOPED_TRACE(language);
    launch(language);
    env_.setPreferredLanguages({"fr"});
    const platform::Bundle app(BRAMLOW_APP_DIR);
    auto info = [&](const char* key) { return *app.objectForInfoDictionaryKey(key)->string(); };
    std::vector<std::string> shown;  // the views, then the buttons in the last one
    for (GtkWidget* view : views()) shown.push_back(text(view));
    for (GtkWidget* button : children(views().at(6))) shown.push_back(text(button));
    EXPECT_EQ(
        shown,
        (std::vector<std::string>{
            "Bramlow for Safari", translateMarker(markers::kTagline),
            translateMarker(markers::kVersion, {{"version", info("CFBundleShortVersionString")},
                                                {"build", info("CFBundleVersion")}}),
            translateMarker(markers::kSteps), translateMarker(markers::kWebsiteAccess),
            translateMarker(markers::kCheckingStatus), "", translateMarker(markers::kOpenSettings),
            language[0] == 'd' ? "Erneut prüfen" : "Check Again"}));
    render("setup-window-" + std::string(language, 2));
    TearDown();
  }
}

// Answers reach the window on the main loop; a refresh keeps the text until its answer arrives.
TEST_F(SetupWindowTest, EachAnswerOfTheBrowserReachesTheStatus) {
  launch("en");
  GtkLabel* status = delegate_->status();
  while (manager_.stateRequests.size() > 1)
    FakeExtensionManager::answer(manager_.stateRequests, std::nullopt, nullptr);
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
    FakeExtensionManager::answer(manager_.stateRequests, state, error);
    EXPECT_EQ(gtk_label_get_text(status), previous) << "not before the main loop runs";
    ASSERT_TRUE(pumpUntil([&] { return gtk_label_get_text(status) != previous; }));
    EXPECT_EQ(gtk_label_get_text(status), translateMarker(marker));
    previous = gtk_label_get_text(status);
  }
}

// Opening the settings disables the button until the browser's answer, whose failure shows.
TEST_F(SetupWindowTest, OpeningSettingsDisablesTheButtonUntilTheAnswer) {
  launch("en");
  GtkWidget* button = GTK_WIDGET(delegate_->settingsButton());
  const std::size_t stateRequests = manager_.stateRequests.size();
  g_signal_emit_by_name(button, "clicked");
  ASSERT_TRUE(pumpUntil([&] { return !manager_.settingsRequests.empty(); }));
  EXPECT_EQ(manager_.stateRequests.size(), stateRequests);
  EXPECT_FALSE(gtk_widget_get_sensitive(button));

  FakeExtensionManager::answer(manager_.settingsRequests,
                               std::make_exception_ptr(std::runtime_error("no browser")));
  ASSERT_TRUE(pumpUntil([&] { return gtk_widget_get_sensitive(button); }));
  EXPECT_EQ(gtk_label_get_text(delegate_->status()), translateMarker(markers::kSettingsFailed));
}

}  // namespace
