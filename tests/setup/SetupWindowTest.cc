// The real setup window on a real (virtual) X display: its texts, a picture of it, the buttons
// and the answers of the browser as they reach the window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// An Xvfb server on a display nobody uses, for the life of the test process.
class VirtualDisplay {
 public:
  static VirtualDisplay& instance() {
    static VirtualDisplay* display = new VirtualDisplay();  // torn down at exit below
    return *display;
  }
  // True when the display runs and GTK could open it.
  static bool ready() { return instance().pid_ > 0 && gtk_init_check(); }

 private:
  VirtualDisplay() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    platform::UniqueFd readEnd(fds[0]);
    platform::UniqueFd writeEnd(fds[1]);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, writeEnd.get(), 3);
    posix_spawn_file_actions_addclosefrom_np(&fa, 4);
    const char* argv[] = {"Xvfb",      "-displayfd", "3",         "-screen", "0",    "1280x1024x24",
                          "-nolisten", "tcp",        "-nolisten", "unix",    nullptr};
    // Abstract sockets only ("-nolisten unix" keeps the abstract one): nothing left in /tmp.
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "Xvfb", &fa, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    writeEnd.reset();
    if (spawned != 0) return;
    pid_ = pid;
    std::string number;  // Xvfb writes it when ready; the pipe ends should it fail
    for (char c; testing_support::readWithin(readEnd.get(), &c, 1) == 1 && c != '\n';) number += c;
    if (number.empty()) stop();
    if (pid_ <= 0) return;
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    ::setenv("GDK_BACKEND", "x11", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("GTK_A11Y", "none", 1);
    std::atexit([] { instance().stop(); });
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
};

// Browser answers under the test's control: requests are recorded and answered when the test
// says, from another thread as the real browser services do.
class FakeExtensionManager : public platform::ExtensionManager {
 public:
  void getStateOfExtension(const std::string& identifier, StateCompletion completion) override {
    identifiers.push_back(identifier);
    stateRequests.push_back(std::move(completion));
  }
  void showSettingsForExtension(const std::string& identifier,
                                SettingsCompletion completion) override {
    identifiers.push_back(identifier);
    settingsRequests.push_back(std::move(completion));
  }
  void answerState(std::optional<ExtensionState> state, std::exception_ptr error) {
    ASSERT_FALSE(stateRequests.empty());
    std::thread(std::move(stateRequests.front()), state, error).join();
    stateRequests.erase(stateRequests.begin());
  }
  void answerSettings(std::exception_ptr error) {
    ASSERT_FALSE(settingsRequests.empty());
    std::thread(std::move(settingsRequests.front()), error).join();
    settingsRequests.erase(settingsRequests.begin());
  }

  std::vector<std::string> identifiers;
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
       child = gtk_widget_get_next_sibling(child)) {
    result.push_back(child);
  }
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

  SetupWindowTest() : env_(dir_.path()), scoped_(env_) {}

  void SetUp() override {
    if (!VirtualDisplay::ready()) GTEST_SKIP() << "no X display could be started";
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
    ASSERT_TRUE(pumpUntil([&] { return gtk_widget_get_mapped(window); }));
    bool painted = false;
    const gulong handler =
        g_signal_connect_swapped(gtk_widget_get_frame_clock(window), "after-paint",
                                 G_CALLBACK(+[](bool* flag) { *flag = true; }), &painted);
    gtk_widget_queue_draw(window);
    EXPECT_TRUE(pumpUntil([&] { return painted; }));
    g_signal_handler_disconnect(gtk_widget_get_frame_clock(window), handler);
    ASSERT_FALSE(manager_.stateRequests.empty()) << "launching refreshes the status";
    for (const std::string& id : manager_.identifiers) {
      EXPECT_EQ(id, "com.bramlow.safari-extension.Extension");
    }
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
  AppEnv env_;
  platform::ScopedEnvForTesting scoped_;
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
    const std::vector<std::string> expected = {
        "Bramlow for Safari",
        translateMarker(markers::kTagline),
        translateMarker(markers::kVersion, {{"version", info("CFBundleShortVersionString")},
                                            {"build", info("CFBundleVersion")}}),
        translateMarker(markers::kSteps),
        translateMarker(markers::kWebsiteAccess),
        translateMarker(markers::kCheckingStatus)};
    const std::vector<GtkWidget*> v = views();
    ASSERT_EQ(v.size(), 7u);
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(text(v[i]), expected[i]) << i;
    const std::vector<GtkWidget*> buttons = children(v[6]);
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(text(buttons[0]), translateMarker(markers::kOpenSettings));
    EXPECT_EQ(text(buttons[1]), language[0] == 'd' ? "Erneut prüfen" : "Check Again");
    render("setup-window-" + std::string(language, 2));
    TearDown();
  }
}

// Answers reach the window on the main loop; a refresh keeps the text until its answer arrives.
TEST_F(SetupWindowTest, EachAnswerOfTheBrowserReachesTheStatus) {
  launch("en");
  GtkLabel* status = delegate_->status();
  while (manager_.stateRequests.size() > 1) manager_.answerState(std::nullopt, nullptr);
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
    manager_.answerState(state, error);
    EXPECT_EQ(gtk_label_get_text(status), previous) << "not before the main loop runs";
    ASSERT_TRUE(pumpUntil([&] { return gtk_label_get_text(status) != previous; }));
    EXPECT_EQ(gtk_label_get_text(status), translateMarker(marker));
    previous = gtk_label_get_text(status);
  }
}

// Runs the window's own Return shortcut, which takes the key before the focused widget does.
void pressReturn(GtkWidget* window) {
  GObjectPtr<GListModel> controllers(gtk_widget_observe_controllers(window));
  for (guint i = 0; i < g_list_model_get_n_items(controllers.get()); ++i) {
    GObjectPtr<GObject> controller(G_OBJECT(g_list_model_get_item(controllers.get(), i)));
    if (!GTK_IS_SHORTCUT_CONTROLLER(controller.get()) ||
        gtk_event_controller_get_propagation_phase(GTK_EVENT_CONTROLLER(controller.get())) !=
            GTK_PHASE_CAPTURE) {
      continue;
    }
    GObjectPtr<GtkShortcut> shortcut(
        GTK_SHORTCUT(g_list_model_get_item(G_LIST_MODEL(controller.get()), 0)));
    gchar* keys = gtk_shortcut_trigger_to_string(gtk_shortcut_get_trigger(shortcut.get()));
    EXPECT_NE(std::string(keys).find("Return"), std::string::npos) << keys;
    g_free(keys);
    gtk_shortcut_action_activate(gtk_shortcut_get_action(shortcut.get()),
                                 GTK_SHORTCUT_ACTION_EXCLUSIVE, window, nullptr);
    return;
  }
  ADD_FAILURE() << "the window has no Return shortcut";
}

TEST_F(SetupWindowTest, ReturnOpensSettingsAndDisablesTheButtonUntilTheAnswer) {
  launch("en");
  GtkWidget* window = GTK_WIDGET(delegate_->window());
  GtkWidget* button = GTK_WIDGET(delegate_->settingsButton());
  // Return works wherever the focus is, even on the other button.
  gtk_widget_grab_focus(checkAgainButton());
  const std::size_t stateRequests = manager_.stateRequests.size();
  pressReturn(window);
  ASSERT_TRUE(pumpUntil([&] { return !manager_.settingsRequests.empty(); }));
  EXPECT_EQ(manager_.stateRequests.size(), stateRequests);
  EXPECT_FALSE(gtk_widget_get_sensitive(button));

  manager_.answerSettings(std::make_exception_ptr(std::runtime_error("no browser")));
  ASSERT_TRUE(pumpUntil([&] { return gtk_widget_get_sensitive(button); }));
  EXPECT_EQ(gtk_label_get_text(delegate_->status()), translateMarker(markers::kSettingsFailed));
}

}  // namespace
