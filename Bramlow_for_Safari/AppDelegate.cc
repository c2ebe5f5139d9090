#include "Bramlow_for_Safari/AppDelegate.h"

#include <array>

#include "Bramlow_for_Safari/MessageCatalog.h"
#include "Bramlow_for_Safari/SetupMarkers.h"
#include "platform/env/Env.h"

namespace bramlow::setup {

namespace {

constexpr const char* kProductName = "Bramlow for Safari";
constexpr int kContentWidth = 580;
constexpr int kContentHeight = 500;
constexpr int kStackSpacing = 22;
constexpr int kStackMargin = 36;
constexpr int kButtonSpacing = 12;

// Sizes are in pixels: the window's point sizes on a display of one pixel per point.
constexpr const char* kStyle =
    "label.bramlow-title { font-size: 26px; font-weight: 600; }\n"
    "label.bramlow-tagline { font-size: 16px; }\n"
    "label.bramlow-body { font-size: 14px; }\n"
    "label.bramlow-status { font-size: 13px; }\n";

std::string infoString(const platform::Bundle& bundle, const char* key) {
  const platform::plist::Value* value = bundle.objectForInfoDictionaryKey(key);
  const std::string* text = value ? value->string() : nullptr;
  return text ? *text : std::string();
}

GtkWidget* wrappingLabel(std::string_view text, const char* styleClass) {
  GtkWidget* label = gtk_label_new(std::string(text).c_str());
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0F);
  gtk_label_set_selectable(GTK_LABEL(label), FALSE);
  // A wrapping label asks for no more width than this; the stack's width decides where it wraps.
  gtk_label_set_max_width_chars(GTK_LABEL(label), 40);
  gtk_widget_set_halign(label, GTK_ALIGN_START);
  gtk_widget_add_css_class(label, styleClass);
  return label;
}

// Views that span the stack's whole width.
void fillWidth(GtkWidget* widget) {
  gtk_widget_set_halign(widget, GTK_ALIGN_FILL);
  gtk_widget_set_hexpand(widget, TRUE);
}

void installStyle() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  GObjectPtr<GtkCssProvider> provider(gtk_css_provider_new());
  gtk_css_provider_load_from_data(provider.get(), kStyle, -1);
  gtk_style_context_add_provider_for_display(gdk_display_get_default(),
                                             GTK_STYLE_PROVIDER(provider.get()),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

void onSettingsClicked(GtkButton*, gpointer delegate) {
  static_cast<AppDelegate*>(delegate)->openSettings();
}

void onCheckAgainClicked(GtkButton*, gpointer delegate) {
  static_cast<AppDelegate*>(delegate)->refreshStatus();
}

// Return presses the default button, as long as it is enabled, wherever the focus is.
gboolean onReturn(GtkWidget*, GVariant*, gpointer delegate) {
  GtkButton* button = static_cast<AppDelegate*>(delegate)->settingsButton();
  if (gtk_widget_is_sensitive(GTK_WIDGET(button))) gtk_widget_activate(GTK_WIDGET(button));
  return TRUE;
}

gboolean onCloseRequest(GtkWindow*, gpointer delegate) {
  auto* self = static_cast<AppDelegate*>(delegate);
  if (self->applicationShouldTerminateAfterLastWindowClosed()) {
    g_application_quit(G_APPLICATION(self->application()));
  }
  return FALSE;  // hide: the window is kept, not released, when closed
}

void onActiveChanged(GObject* window, GParamSpec*, gpointer delegate) {
  if (gtk_window_is_active(GTK_WINDOW(window))) {
    static_cast<AppDelegate*>(delegate)->applicationDidBecomeActive();
  }
}

void onQuit(GSimpleAction*, GVariant*, gpointer application) {
  g_application_quit(G_APPLICATION(application));
}

}  // namespace

std::string localizedDescription(const std::exception_ptr& error) {
  if (!error) return "unknown error";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

StatusAnswer statusForExtensionState(const std::optional<platform::ExtensionState>& state,
                                     const std::exception_ptr& error) {
  if (error) {
    return {translateMarker(markers::kStatusUnavailable),
            "Safari extension status failed: " + localizedDescription(error)};
  }
  if (!state) return {translateMarker(markers::kNoStatus), std::nullopt};
  return {translateMarker(state->isEnabled ? markers::kEnabled : markers::kNotEnabled),
          std::nullopt};
}

StatusAnswer statusForSettingsAnswer(const std::exception_ptr& error) {
  if (!error) return {translateMarker(markers::kSettingsOpened), std::nullopt};
  return {translateMarker(markers::kSettingsFailed),
          "Opening Safari extension settings failed: " + localizedDescription(error)};
}

void dispatchToMainLoop(std::function<void()> fn) {
  auto task = std::make_unique<std::function<void()>>(std::move(fn));
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        try {
          (*static_cast<std::function<void()>*>(data))();
        } catch (const std::exception& error) {
          // No exception may unwind through the main loop.
          platform::env().log(std::string("Unexpected failure on the main loop: ") + error.what());
        }
        return G_SOURCE_REMOVE;
      },
      task.release(), [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void AppDelegate::WindowDeleter::operator()(GtkWindow* window) const {
  gtk_window_destroy(window);
  g_object_unref(window);
}

std::shared_ptr<AppDelegate> AppDelegate::create(GtkApplication* application,
                                                 platform::Bundle bundle,
                                                 platform::ExtensionManager& extensions) {
  return std::shared_ptr<AppDelegate>(new AppDelegate(application, std::move(bundle), extensions));
}

AppDelegate::AppDelegate(GtkApplication* application, platform::Bundle bundle,
                         platform::ExtensionManager& extensions)
    : application_(application),
      bundle_(std::move(bundle)),
      extensions_(extensions),
      status_(adoptSink(
          GTK_LABEL(wrappingLabel(translateMarker(markers::kCheckingStatus), "bramlow-status")))),
      settingsButton_(adoptSink(
          GTK_BUTTON(gtk_button_new_with_label(translateMarker(markers::kOpenSettings).c_str())))) {
}

AppDelegate::~AppDelegate() {
  // Nothing may call back into this object once it is gone.
  if (window_) g_signal_handlers_disconnect_by_data(window_.get(), this);
  g_signal_handlers_disconnect_by_data(settingsButton_.get(), this);
  window_.reset();
}

std::string AppDelegate::extensionIdentifier() const {
  return infoString(bundle_, "CFBundleIdentifier") + ".Extension";
}

void AppDelegate::applicationDidFinishLaunching() {
  installMenu();
  buildWindow();
  // Placement is the window manager's: it centres a new dialog-sized window by itself.
  gtk_window_present(window_.get());
  refreshStatus();
}

void AppDelegate::installMenu() {
  GObjectPtr<GSimpleAction> quit(g_simple_action_new("quit", nullptr));
  g_signal_connect(quit.get(), "activate", G_CALLBACK(onQuit), application_);
  g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(quit.get()));
  const std::array<const char*, 2> accels = {"<Control>q", nullptr};
  gtk_application_set_accels_for_action(application_, "app.quit", accels.data());

  GObjectPtr<GMenu> menubar(g_menu_new());
  GObjectPtr<GMenu> appMenu(g_menu_new());
  g_menu_append(appMenu.get(), translateMarker(markers::kQuit).c_str(), "app.quit");
  g_menu_append_submenu(menubar.get(), kProductName, G_MENU_MODEL(appMenu.get()));
  gtk_application_set_menubar(application_, G_MENU_MODEL(menubar.get()));
}

void AppDelegate::buildWindow() {
  installStyle();
  GtkWidget* window = gtk_application_window_new(application_);
  window_.reset(GTK_WINDOW(g_object_ref(window)));
  gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window), TRUE);
  gtk_window_set_title(window_.get(), kProductName);
  gtk_window_set_resizable(window_.get(), FALSE);
  gtk_window_set_hide_on_close(window_.get(), TRUE);
  g_signal_connect(window, "close-request", G_CALLBACK(onCloseRequest), this);
  g_signal_connect(window, "notify::is-active", G_CALLBACK(onActiveChanged), this);

  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_size_request(content, kContentWidth, kContentHeight);
  gtk_window_set_child(window_.get(), content);

  GtkWidget* stack = gtk_box_new(GTK_ORIENTATION_VERTICAL, kStackSpacing);
  gtk_widget_set_margin_start(stack, kStackMargin);
  gtk_widget_set_margin_end(stack, kStackMargin);
  gtk_widget_set_valign(stack, GTK_ALIGN_CENTER);
  gtk_widget_set_vexpand(stack, TRUE);
  gtk_widget_set_halign(stack, GTK_ALIGN_FILL);
  gtk_box_append(GTK_BOX(content), stack);

  GtkWidget* title = gtk_label_new(kProductName);
  gtk_label_set_xalign(GTK_LABEL(title), 0.0F);
  gtk_widget_set_halign(title, GTK_ALIGN_START);
  gtk_widget_add_css_class(title, "bramlow-title");
  gtk_box_append(GTK_BOX(stack), title);

  gtk_box_append(GTK_BOX(stack),
                 wrappingLabel(translateMarker(markers::kTagline), "bramlow-tagline"));

  const PlaceholderValues versionValues{
      {"version", infoString(bundle_, "CFBundleShortVersionString")},
      {"build", infoString(bundle_, "CFBundleVersion")}};
  GtkWidget* version =
      wrappingLabel(translateMarker(markers::kVersion, versionValues), "bramlow-body");
  gtk_widget_add_css_class(version, "dim-label");
  gtk_widget_set_name(version, "safariInstalledVersion");
  gtk_box_append(GTK_BOX(stack), version);

  GtkWidget* steps = wrappingLabel(translateMarker(markers::kSteps), "bramlow-body");
  fillWidth(steps);
  gtk_box_append(GTK_BOX(stack), steps);

  GtkWidget* access = wrappingLabel(translateMarker(markers::kWebsiteAccess), "bramlow-body");
  gtk_widget_add_css_class(access, "dim-label");
  fillWidth(access);
  gtk_box_append(GTK_BOX(stack), access);

  GtkWidget* status = GTK_WIDGET(status_.get());
  gtk_widget_set_name(status, "safariExtensionStatus");
  fillWidth(status);
  gtk_box_append(GTK_BOX(stack), status);

  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, kButtonSpacing);
  gtk_widget_set_halign(buttons, GTK_ALIGN_START);
  GtkWidget* settings = GTK_WIDGET(settingsButton_.get());
  gtk_widget_add_css_class(settings, "suggested-action");
  g_signal_connect(settings, "clicked", G_CALLBACK(onSettingsClicked), this);
  gtk_box_append(GTK_BOX(buttons), settings);
  GtkWidget* checkAgain = gtk_button_new_with_label(translateMarker(markers::kCheckAgain).c_str());
  g_signal_connect(checkAgain, "clicked", G_CALLBACK(onCheckAgainClicked), this);
  gtk_box_append(GTK_BOX(buttons), checkAgain);
  gtk_box_append(GTK_BOX(stack), buttons);

  gtk_window_set_default_widget(window_.get(), settings);
  GtkEventController* shortcuts = gtk_shortcut_controller_new();
  gtk_event_controller_set_propagation_phase(shortcuts, GTK_PHASE_CAPTURE);
  gtk_shortcut_controller_add_shortcut(
      GTK_SHORTCUT_CONTROLLER(shortcuts),
      gtk_shortcut_new(
          gtk_alternative_trigger_new(gtk_keyval_trigger_new(GDK_KEY_Return, GdkModifierType(0)),
                                      gtk_keyval_trigger_new(GDK_KEY_KP_Enter, GdkModifierType(0))),
          gtk_callback_action_new(onReturn, this, nullptr)));
  gtk_widget_add_controller(window, shortcuts);
}

void AppDelegate::refreshStatus() {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  extensions_.getStateOfExtension(extensionIdentifier(),
                                  [weak](const std::optional<platform::ExtensionState>& state,
                                         const std::exception_ptr& error) {
                                    dispatchToMainLoop([weak, state, error] {
                                      if (const std::shared_ptr<AppDelegate> self = weak.lock()) {
                                        self->show(statusForExtensionState(state, error));
                                      }
                                    });
                                  });
}

void AppDelegate::openSettings() {
  gtk_widget_set_sensitive(GTK_WIDGET(settingsButton_.get()), FALSE);
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  extensions_.showSettingsForExtension(
      extensionIdentifier(), [weak](const std::exception_ptr& error) {
        dispatchToMainLoop([weak, error] {
          if (const std::shared_ptr<AppDelegate> self = weak.lock()) {
            gtk_widget_set_sensitive(GTK_WIDGET(self->settingsButton_.get()), TRUE);
            self->show(statusForSettingsAnswer(error));
          }
        });
      });
}

void AppDelegate::applicationDidBecomeActive() {
  if (window_) refreshStatus();
}

void AppDelegate::show(const StatusAnswer& answer) {
  gtk_label_set_text(status_.get(), answer.text.c_str());
  if (answer.logLine) platform::env().log(*answer.logLine);
}

namespace {

struct RunState {
  platform::Bundle bundle;
  platform::ExtensionManager& extensions;
  std::function<void(AppDelegate&)> onFirstFrame;
  std::shared_ptr<AppDelegate> delegate;
  bool launched = false;
  gulong frameHandler = 0;
};

void onAfterPaint(GdkFrameClock* clock, gpointer data) {
  auto* state = static_cast<RunState*>(data);
  g_signal_handler_disconnect(clock, state->frameHandler);
  state->frameHandler = 0;
  if (state->onFirstFrame) state->onFirstFrame(*state->delegate);
}

void onStartup(GApplication* application, gpointer data) {
  auto* state = static_cast<RunState*>(data);
  state->delegate =
      AppDelegate::create(GTK_APPLICATION(application), state->bundle, state->extensions);
}

void onActivate(GApplication*, gpointer data) {
  auto* state = static_cast<RunState*>(data);
  if (state->launched) {
    // Launched again while running: bring the window forward, which refreshes the status.
    gtk_window_present(state->delegate->window());
    return;
  }
  state->launched = true;
  state->delegate->applicationDidFinishLaunching();
  if (state->onFirstFrame) {
    GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(state->delegate->window()));
    if (clock) {
      state->frameHandler = g_signal_connect(clock, "after-paint", G_CALLBACK(onAfterPaint), state);
    }
  }
}

}  // namespace

int runSetupApplication(int argc, char** argv, platform::Bundle bundle,
                        platform::ExtensionManager& extensions,
                        std::function<void(AppDelegate&)> onFirstFrame, GApplicationFlags flags) {
  const std::string identifier = infoString(bundle, "CFBundleIdentifier");
  RunState state{std::move(bundle), extensions, std::move(onFirstFrame), nullptr, false, 0};
  GObjectPtr<GtkApplication> application(gtk_application_new(
      g_application_id_is_valid(identifier.c_str()) ? identifier.c_str() : nullptr, flags));
  g_signal_connect(application.get(), "startup", G_CALLBACK(onStartup), &state);
  g_signal_connect(application.get(), "activate", G_CALLBACK(onActivate), &state);
  const int status = g_application_run(G_APPLICATION(application.get()), argc, argv);
  state.delegate.reset();
  return status;
}

}  // namespace bramlow::setup
