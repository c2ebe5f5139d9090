// The real setup window on a real (virtual) X display: texts, layout, rendering to a PNG, the
// buttons and the answers of the browser as they reach the window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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
    std::string number;
    pollfd p{readEnd.get(), POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
      char c;
      if (::read(readEnd.get(), &c, 1) != 1 || c == '\n') break;
      number += c;
    }
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    if (!done()) g_usleep(1000);
  }
  return true;
}

// Lets pending main-loop work run (answers already posted, redraws).
void settle() {
  for (int i = 0; i < 20; ++i) {
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
}

std::vector<GtkWidget*> children(GtkWidget* parent) {
  std::vector<GtkWidget*> result;
  for (GtkWidget* child = gtk_widget_get_first_child(parent); child;
       child = gtk_widget_get_next_sibling(child)) {
    result.push_back(child);
  }
  return result;
}

graphene_rect_t boundsIn(GtkWidget* widget, GtkWidget* ancestor) {
  graphene_rect_t bounds;
  EXPECT_TRUE(gtk_widget_compute_bounds(widget, ancestor, &bounds));
  return bounds;
}

// The text of a label or a button.
std::string text(GtkWidget* widget) {
  if (GTK_IS_LABEL(widget)) return gtk_label_get_text(GTK_LABEL(widget));
  return GTK_IS_BUTTON(widget) ? gtk_button_get_label(GTK_BUTTON(widget)) : "";
}

// A marker's English text.
std::string english(std::string_view marker) { return translateMarker(marker, {}, {}); }

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
    env_.setPreferredLanguages({language});
    bramlow::setup::resetMessageCatalogForTesting();
    application_.reset(gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE));
    ASSERT_TRUE(g_application_register(G_APPLICATION(application_.get()), nullptr, nullptr));
    delegate_ =
        AppDelegate::create(application_.get(), platform::Bundle(BRAMLOW_APP_DIR), manager_);
    EXPECT_EQ(gtk_label_get_text(delegate_->status()), translateMarker(markers::kCheckingStatus));
    // Activation before launching has finished asks the browser nothing.
    delegate_->applicationDidBecomeActive();
    EXPECT_TRUE(manager_.stateRequests.empty());

    delegate_->applicationDidFinishLaunching();
    GtkWidget* window = GTK_WIDGET(delegate_->window());
    bool painted = false;
    ASSERT_TRUE(pumpUntil([&] { return gtk_widget_get_mapped(window); }));
    GdkFrameClock* clock = gtk_widget_get_frame_clock(window);
    ASSERT_NE(clock, nullptr);
    const gulong handler = g_signal_connect_swapped(
        clock, "after-paint", G_CALLBACK(+[](bool* flag) { *flag = true; }), &painted);
    gtk_widget_queue_draw(window);
    EXPECT_TRUE(pumpUntil([&] { return painted; }));
    g_signal_handler_disconnect(clock, handler);
    ASSERT_FALSE(manager_.stateRequests.empty()) << "launching refreshes the status";
    for (const std::string& id : manager_.identifiers) {
      EXPECT_EQ(id, "com.bramlow.safari-extension.Extension");
    }
  }

  // The stack of the window's content, and its arranged views.
  GtkWidget* content() const { return gtk_window_get_child(delegate_->window()); }
  GtkWidget* stack() const { return gtk_widget_get_first_child(content()); }
  std::vector<GtkWidget*> views() const { return children(stack()); }
  GtkWidget* checkAgainButton() const { return children(views().at(6)).at(1); }

  // "Version <short version> (<build word> <build number>)" of the built application.
  static std::string versionLine(const std::string& buildWord) {
    const platform::Bundle app(BRAMLOW_APP_DIR);
    auto value = [&](const char* key) { return *app.objectForInfoDictionaryKey(key)->string(); };
    return "Version " + value("CFBundleShortVersionString") + " (" + buildWord + " " +
           value("CFBundleVersion") + ")";
  }

  // Renders the window as it is on screen into a PNG under the build folder.
  void render(const std::string& name) {
    GtkWidget* window = GTK_WIDGET(delegate_->window());
    const int width = gtk_widget_get_width(window);
    const int height = gtk_widget_get_height(window);
    GObjectPtr<GdkPaintable> paintable(gtk_widget_paintable_new(window));
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable.get(), snapshot, width, height);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    EXPECT_NE(node, nullptr);
    const graphene_rect_t viewport = GRAPHENE_RECT_INIT(0, 0, float(width), float(height));
    GObjectPtr<GdkTexture> texture(
        gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(window)), node, &viewport));
    gsk_render_node_unref(node);
    const fs::path path = fs::path(BRAMLOW_BINARY_DIR) / "setup-window" / (name + ".png");
    fs::create_directories(path.parent_path());
    EXPECT_TRUE(gdk_texture_save_to_png(texture.get(), path.c_str()));
    std::printf("setup window rendered to %s\n", path.c_str());

    EXPECT_GT(fs::file_size(path), 10000u) << "no flat picture compresses this badly";
  }

  testing_support::TempDir dir_;
  AppEnv env_;
  platform::ScopedEnvForTesting scoped_;
  FakeExtensionManager manager_;
  GObjectPtr<GtkApplication> application_;
  std::shared_ptr<AppDelegate> delegate_;
};

TEST_F(SetupWindowTest, TextsLayoutAndPicture) {
  launch("en");
  GtkWindow* window = delegate_->window();
  EXPECT_STREQ(gtk_window_get_title(window), "Bramlow for Safari");
  EXPECT_FALSE(gtk_window_get_resizable(window));
  EXPECT_TRUE(gtk_window_get_hide_on_close(window));

  const std::vector<GtkWidget*> v = views();
  ASSERT_EQ(v.size(), 7u);
  EXPECT_EQ(v[5], GTK_WIDGET(delegate_->status()));
  EXPECT_STREQ(gtk_widget_get_name(v[2]), "safariInstalledVersion");
  EXPECT_STREQ(gtk_widget_get_name(v[5]), "safariExtensionStatus");
  const std::vector<GtkWidget*> buttons = children(v[6]);
  ASSERT_EQ(buttons.size(), 2u);
  EXPECT_EQ(buttons[0], GTK_WIDGET(delegate_->settingsButton()));
  EXPECT_EQ(text(buttons[0]), "Open Safari Settings");
  EXPECT_EQ(text(buttons[1]), "Check Again");
  EXPECT_EQ(gtk_window_get_default_widget(window), buttons[0]);

  // The content is 580 by 500; the stack sits 36 from either side, centred vertically, its views
  // leading-aligned, 22 apart; views 3 to 5 span its width; the buttons are 12 apart.
  const graphene_rect_t area = boundsIn(content(), content());
  EXPECT_FLOAT_EQ(area.size.width, 580);
  EXPECT_FLOAT_EQ(area.size.height, 500);
  const graphene_rect_t s = boundsIn(stack(), content());
  EXPECT_FLOAT_EQ(s.origin.x, 36);
  EXPECT_FLOAT_EQ(s.size.width, 508);
  EXPECT_NEAR(s.origin.y, 500 - (s.origin.y + s.size.height), 1.0);
  const struct {
    std::string text;
    int pixels, weight;
    bool dim;
  } labels[] = {{"Bramlow for Safari", 26, 600, false},
                {english(markers::kTagline), 16, 400, false},
                {versionLine("build"), 14, 400, true},
                {english(markers::kSteps), 14, 400, false},
                {english(markers::kWebsiteAccess), 14, 400, true},
                {english(markers::kCheckingStatus), 13, 400, false}};
  float previousBottom = -1;
  for (std::size_t i = 0; i < v.size(); ++i) {
    SCOPED_TRACE(i);
    const graphene_rect_t b = boundsIn(v[i], content());
    EXPECT_FLOAT_EQ(b.origin.x, 36);
    EXPECT_LE(b.origin.x + b.size.width, 36 + 508);
    EXPECT_GT(b.size.height, 0);
    if (previousBottom >= 0) {
      EXPECT_FLOAT_EQ(b.origin.y - previousBottom, 22);
    }
    previousBottom = b.origin.y + b.size.height;
    if (i >= 3 && i <= 5) {
      EXPECT_FLOAT_EQ(b.size.width, 508);
    }
    if (i == v.size() - 1) break;
    EXPECT_EQ(text(v[i]), labels[i].text);
    EXPECT_EQ(bool(gtk_widget_has_css_class(v[i], "dim-label")), labels[i].dim);
    EXPECT_EQ(bool(gtk_label_get_wrap(GTK_LABEL(v[i]))), i != 0);
    const PangoFontDescription* font =
        pango_context_get_font_description(gtk_widget_get_pango_context(v[i]));
    EXPECT_EQ(pango_font_description_get_size(font), labels[i].pixels * PANGO_SCALE);
    EXPECT_TRUE(pango_font_description_get_size_is_absolute(font));
    EXPECT_EQ(int(pango_font_description_get_weight(font)), labels[i].weight);
  }
  EXPECT_LT(boundsIn(v[1], content()).size.width, 508) << "a short label keeps its own width";
  const graphene_rect_t first = boundsIn(buttons[0], content());
  const graphene_rect_t second = boundsIn(buttons[1], content());
  EXPECT_FLOAT_EQ(second.origin.x - (first.origin.x + first.size.width), 12);
  EXPECT_FLOAT_EQ(second.origin.y, first.origin.y);
  // The three steps are at least three lines (a long step wraps within the stack's width).
  EXPECT_GE(pango_layout_get_line_count(gtk_label_get_layout(GTK_LABEL(v[3]))), 3);

  render("setup-window-en");
}

TEST_F(SetupWindowTest, TranslatedWindow) {
  launch("de-DE");
  const std::vector<GtkWidget*> v = views();
  EXPECT_EQ(text(v[2]), versionLine("Build"));
  EXPECT_EQ(text(v[5]), "Status der Safari-Erweiterung wird geprüft …");
  EXPECT_EQ(text(checkAgainButton()), "Erneut prüfen");
  EXPECT_EQ(text(v[0]), "Bramlow for Safari") << "the product name is never translated";
  render("setup-window-de");
  EXPECT_TRUE(env_.logLines().empty());
}

TEST_F(SetupWindowTest, AnswersOfTheBrowserReachTheStatus) {
  launch("en");
  GtkLabel* status = delegate_->status();
  const auto failure = std::make_exception_ptr(std::runtime_error("manifest unreadable"));
  const std::vector<std::string> failureLog{"Safari extension status failed: manifest unreadable"};
  while (manager_.stateRequests.size() > 1) manager_.answerState(std::nullopt, nullptr);
  settle();

  const struct {
    const char* name;
    std::optional<ExtensionState> state;
    std::exception_ptr error;
    std::string_view marker;
    std::vector<std::string> log;
  } cases[] = {
      {"enabled", ExtensionState{true}, nullptr, markers::kEnabled, {}},
      {"error", std::nullopt, failure, markers::kStatusUnavailable, failureLog},
      {"neither", std::nullopt, nullptr, markers::kNoStatus, {}},
  };
  std::string previous = gtk_label_get_text(status);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (manager_.stateRequests.empty()) {
      g_signal_emit_by_name(checkAgainButton(), "clicked");
      ASSERT_EQ(manager_.stateRequests.size(), 1u);
    }
    settle();
    EXPECT_EQ(gtk_label_get_text(status), previous) << "the text stays while the answer is pending";
    const std::size_t logged = env_.logLines().size();
    manager_.answerState(c.state, c.error);
    EXPECT_EQ(gtk_label_get_text(status), previous) << "answers reach the window on the main loop";
    ASSERT_TRUE(pumpUntil([&] { return gtk_label_get_text(status) != previous; }));
    EXPECT_EQ(gtk_label_get_text(status), english(c.marker));
    const std::vector<std::string> lines = env_.logLines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + long(logged), lines.end()), c.log);
    previous = english(c.marker);
  }
}

TEST_F(SetupWindowTest, EveryActivationRefreshesTheStatus) {
  launch("en");
  GtkWindow* window = delegate_->window();
  GtkWindow* other = GTK_WINDOW(gtk_window_new());
  gtk_window_present(other);
  ASSERT_TRUE(pumpUntil([&] { return !gtk_window_is_active(window); }));
  settle();
  const std::size_t requests = manager_.stateRequests.size();
  gtk_window_present(window);
  EXPECT_TRUE(pumpUntil([&] { return manager_.stateRequests.size() == requests + 1; }));
  gtk_window_destroy(other);
}

// Finds the window's Return shortcut and runs it, as a key press would.
void pressReturn(GtkWidget* window) {
  GObjectPtr<GtkShortcutTrigger> key(gtk_keyval_trigger_new(GDK_KEY_Return, GdkModifierType(0)));
  std::function<bool(GtkShortcutTrigger*)> isReturn = [&](GtkShortcutTrigger* trigger) {
    if (!GTK_IS_ALTERNATIVE_TRIGGER(trigger))
      return bool(gtk_shortcut_trigger_equal(trigger, key.get()));
    GtkAlternativeTrigger* alternative = GTK_ALTERNATIVE_TRIGGER(trigger);
    return isReturn(gtk_alternative_trigger_get_first(alternative)) ||
           isReturn(gtk_alternative_trigger_get_second(alternative));
  };
  GObjectPtr<GListModel> controllers(gtk_widget_observe_controllers(window));
  for (guint i = 0; i < g_list_model_get_n_items(controllers.get()); ++i) {
    GObjectPtr<GObject> controller(G_OBJECT(g_list_model_get_item(controllers.get(), i)));
    if (!GTK_IS_SHORTCUT_CONTROLLER(controller.get())) continue;
    GListModel* shortcuts = G_LIST_MODEL(controller.get());
    for (guint j = 0; j < g_list_model_get_n_items(shortcuts); ++j) {
      GObjectPtr<GtkShortcut> shortcut(GTK_SHORTCUT(g_list_model_get_item(shortcuts, j)));
      if (!isReturn(gtk_shortcut_get_trigger(shortcut.get()))) continue;
      gtk_shortcut_action_activate(gtk_shortcut_get_action(shortcut.get()),
                                   GTK_SHORTCUT_ACTION_EXCLUSIVE, window, nullptr);
      return;
    }
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
  // The default button shows itself pressed for a moment, then clicks.
  ASSERT_TRUE(pumpUntil([&] { return !manager_.settingsRequests.empty(); }));
  EXPECT_EQ(manager_.stateRequests.size(), stateRequests);
  EXPECT_FALSE(gtk_widget_get_sensitive(button));
  pressReturn(window);
  settle();
  g_usleep(300000);
  settle();
  EXPECT_EQ(manager_.settingsRequests.size(), 1u) << "a disabled button is not pressed";

  manager_.answerSettings(std::make_exception_ptr(std::runtime_error("no browser")));
  ASSERT_TRUE(pumpUntil([&] { return gtk_widget_get_sensitive(button); }));
  EXPECT_EQ(gtk_label_get_text(delegate_->status()), english(markers::kSettingsFailed));
  EXPECT_EQ(env_.logLines(),
            std::vector<std::string>{"Opening Safari extension settings failed: no browser"});
}

TEST_F(SetupWindowTest, AnswersAfterTheDelegateIsGoneAreDropped) {
  launch("en");
  g_signal_emit_by_name(delegate_->settingsButton(), "clicked");
  delegate_.reset();
  manager_.answerState(platform::ExtensionState{true}, nullptr);
  manager_.answerSettings(nullptr);
  settle();
  EXPECT_TRUE(env_.logLines().empty());
}

// The whole application as main() runs it: the menu, Ctrl+Q, and closing the window to quit.
TEST(SetupApplicationTest, ClosingTheWindowOrQuitEndsTheApplication) {
  if (!VirtualDisplay::ready()) GTEST_SKIP() << "no X display could be started";
  testing_support::TempDir dir;
  testing_support::TestEnv env(dir.path());
  env.setPreferredLanguages({"en"});
  platform::ScopedEnvForTesting scoped(env);
  bramlow::setup::resetMessageCatalogForTesting();
  for (const char* how : {"close", "quit"}) {
    SCOPED_TRACE(how);
    FakeExtensionManager manager;
    bool sawFrame = false;
    bool stuck = false;
    // A stuck application fails the test instead of hanging it.
    const guint watchdog = g_timeout_add_seconds(
        20,
        [](gpointer flag) -> gboolean {
          *static_cast<bool*>(flag) = true;
          g_application_quit(g_application_get_default());
          return G_SOURCE_REMOVE;
        },
        &stuck);
    char name[] = "setup";
    char* argv[] = {name, nullptr};
    const int status = bramlow::setup::runSetupApplication(
        1, argv, platform::Bundle(BRAMLOW_APP_DIR), manager,
        [&](AppDelegate& delegate) {
          sawFrame = true;
          GtkApplication* application = delegate.application();
          gchar** accels = gtk_application_get_accels_for_action(application, "app.quit");
          EXPECT_TRUE(accels && accels[0] && std::string(accels[0]) == "<Control>q");
          g_strfreev(accels);
          GMenuModel* menubar = gtk_application_get_menubar(application);
          ASSERT_NE(menubar, nullptr);
          ASSERT_EQ(g_menu_model_get_n_items(menubar), 1);
          GObjectPtr<GMenuModel> menu(g_menu_model_get_item_link(menubar, 0, G_MENU_LINK_SUBMENU));
          ASSERT_EQ(g_menu_model_get_n_items(menu.get()), 1);
          gchar* label = nullptr;
          gchar* action = nullptr;
          g_menu_model_get_item_attribute(menu.get(), 0, G_MENU_ATTRIBUTE_LABEL, "s", &label);
          g_menu_model_get_item_attribute(menu.get(), 0, G_MENU_ATTRIBUTE_ACTION, "s", &action);
          EXPECT_STREQ(label, "Quit Bramlow for Safari");
          EXPECT_STREQ(action, "app.quit");
          g_free(label);
          g_free(action);
          if (std::string_view(how) == "close") {
            gtk_window_close(delegate.window());
          } else {
            g_action_group_activate_action(G_ACTION_GROUP(application), "quit", nullptr);
          }
        },
        G_APPLICATION_NON_UNIQUE);
    if (!stuck) g_source_remove(watchdog);
    EXPECT_FALSE(stuck);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(sawFrame);
    EXPECT_FALSE(manager.stateRequests.empty());
  }
  bramlow::setup::resetMessageCatalogForTesting();
}

}  // namespace
