#include "shell/gtk/window.h"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <glib-unix.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "app/app_delegate.h"
#include "app/control_hooks.h"
#include "app/desktop_entries.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/text.h"
#include "base/paths.h"
#include "base/files.h"
#include "page/document.h"
#include "shell/glib_queue.h"
#include "shell/gtk/hot_keys.h"
#include "shell/gtk/menu_bar.h"
#include "shell/notify_start.h"

namespace {

constexpr int kWidth = 940, kHeight = 620;
constexpr double kScanSeconds = 1.5;
constexpr const char* kAppId = "app.velmo.Velmo";
// The window colour shows while the page loads and behind its transparent parts.
constexpr const char* kCss =
    "window.velmo, window.velmo headerbar {"
    "  background: rgb(10, 11, 12); background-image: none; color: #c9cbce;"
    "  border: none; box-shadow: none; }"
    "window.velmo headerbar { min-height: 30px; padding: 0 6px; }";
constexpr guint kSmokeSettleMs = 700;  // let the painted page reach the screen
constexpr guint kSmokeGiveUpMs = 60000;

// The page is flat (no 3D, no video, no canvas), so it gains nothing from the GPU, while
// WebKit's compositing mode costs dearly where there is none (software GL under Xvfb, on a
// remote display, a laptop without drivers): each changed frame is composited in software.
// Measured with bench_idle under Xvfb, 20 agents of which 4 working (the logo stepping,
// rows changing): the web process takes 0.8% of a core with NEVER, 9.1% with ON_DEMAND and
// 9.5% with ALWAYS; at rest all three take about 0.3%. VELMO_WEB_ACCEL (never, on-demand,
// always) lets a machine with a GPU, or a measurement, choose otherwise.
WebKitHardwareAccelerationPolicy accelerationPolicy() {
  const char* wanted = std::getenv("VELMO_WEB_ACCEL");
  std::string w = wanted ? wanted : "";
  if (w == "on-demand") return WEBKIT_HARDWARE_ACCELERATION_POLICY_ON_DEMAND;
  if (w == "always") return WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS;
  if (!w.empty() && w != "never")
    Log::note(Lang::pick("VELMO_WEB_ACCEL takes never, on-demand or always; using never",
                         "VELMO_WEB_ACCEL מקבל never, on-demand או always; נבחר never"));
  return WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER;
}

/// The window with its web view: the page calls go through script evaluation, the page's
/// messages come through the script message handler "velmo".
class WindowShell final : public PageHost, public Dialogs {
 public:
  explicit WindowShell(std::string smokeShot) : screenshot(std::move(smokeShot)) {}

  void call(const std::string& name, const std::vector<std::string>& args, Done done) override {
    if (!web) {
      if (done) done(Reply{"no page", nullptr});
      return;
    }
    std::string script = name + "(" + Text::join(args, ",") + ")";
    webkit_web_view_evaluate_javascript(web, script.c_str(), static_cast<gssize>(script.size()),
                                        nullptr, nullptr, nullptr, evaluated,
                                        done ? new Done(std::move(done)) : nullptr);
  }

  bool attached() const override { return loaded; }

  void alert(const Alert& a, std::function<void(int)> done) override {
    GtkWidget* dialog =
        gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                               GTK_BUTTONS_NONE, "%s", a.title.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", a.text.c_str());
    std::vector<std::string> buttons = a.buttons;
    if (buttons.empty()) buttons.push_back(Lang::pick("OK", "אישור"));
    for (size_t i = 0; i < buttons.size(); ++i)
      gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), static_cast<int>(i));
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
    auto* held = new Shown{this, std::move(done)};
    open[dialog] = a.tag;
    g_signal_connect_data(
        dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
          auto* shown = static_cast<Shown*>(data);
          shown->shell->open.erase(GTK_WIDGET(d));
          auto done = std::move(shown->done);
          shown->done = nullptr;
          gtk_widget_destroy(GTK_WIDGET(d));
          if (done) done(response >= 0 ? response : -1);
        }),
        held, [](gpointer data, GClosure*) { delete static_cast<Shown*>(data); }, GConnectFlags(0));
    present();
    gtk_widget_show(dialog);
  }

  void present() override {
    if (window) gtk_window_present(GTK_WINDOW(window));
  }

  bool showing() const override { return !open.empty(); }

  void dismiss(const std::string& tag, int index) override {
    std::vector<GtkWidget*> ending;
    for (const auto& [dialog, t] : open)
      if (t == tag) ending.push_back(dialog);
    for (GtkWidget* dialog : ending) gtk_dialog_response(GTK_DIALOG(dialog), index);
  }

  void startup(GtkApplication* gapp) {
    app = gapp;
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", TRUE, nullptr);
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, kCss, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    WebKitUserContentManager* content = webkit_user_content_manager_new();
    g_signal_connect(content, "script-message-received::velmo", G_CALLBACK(messaged), this);
    webkit_user_content_manager_register_script_message_handler(content, "velmo");
    web = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(content));
    g_object_unref(content);
    webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(web),
                                                     accelerationPolicy());
    GdkRGBA clear = {0, 0, 0, 0};
    webkit_web_view_set_background_color(web, &clear);
    gtk_widget_set_size_request(GTK_WIDGET(web), 320, 240);
    g_signal_connect(web, "load-changed", G_CALLBACK(loadChanged), this);
    g_signal_connect(web, "decide-policy", G_CALLBACK(decidePolicy), this);
    g_signal_connect(web, "web-process-terminated", G_CALLBACK(crashed), this);

    // Hebrew reads right to left: the menu bar starts at the right and menus open leftwards.
    if (Lang::hebrew()) gtk_widget_set_default_direction(GTK_TEXT_DIR_RTL);
    // The installed icon, by its name in the theme (run from the build folder, there is none).
    gtk_window_set_default_icon_name(DesktopEntries::kIcon);
    window = gtk_application_window_new(gapp);
    gtk_style_context_add_class(gtk_widget_get_style_context(window), "velmo");
    const char* title = Lang::pick("Velmo", "ולמו");
    gtk_window_set_title(GTK_WINDOW(window), title);
    GtkWidget* bar = gtk_header_bar_new();
    gtk_header_bar_set_title(GTK_HEADER_BAR(bar), title);
    gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(bar), TRUE);
    gtk_window_set_titlebar(GTK_WINDOW(window), bar);
    gtk_window_set_default_size(GTK_WINDOW(window), kWidth, kHeight);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), column);
    // Closing hides: Velmo keeps watching, and activating it again brings the window back.
    // A hidden window unmaps the view, which WebKit tells the page as a hidden document, so
    // the page stops its motion until the window is shown again.
    g_signal_connect(window, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
    g_application_hold(G_APPLICATION(gapp));

    AppDelegate::Hosts hosts;
    hosts.page = this;
    hosts.main = &main;
    hosts.dialogs = this;
    delegate = AppDelegate::make(hosts);
    installHooks(delegate, hosts);
    menuBar = std::make_unique<MenuBar>(
        gapp, delegate->menuBar(),
        MenuBar::Acts{[this](const std::string& id) { return windowAct(id); },
                      [this](const std::string& id, std::optional<int> value) {
                        delegate->choose(id, value);
                      }});
    gtk_box_pack_start(GTK_BOX(column), menuBar->widget(), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(column), GTK_WIDGET(web), TRUE, TRUE, 0);
    delegate->onMenu([this](const std::vector<Menu::Item>& bar) { menuBar->update(bar); });
    hotKeys = std::make_unique<HotKeys>([this] { toggleWindow(); },
                                        [this] { delegate->run("findAnywhere"); });
    if (const char* trace = std::getenv("VELMO_WINDOW_TRACE"); trace && *trace) traceTo(trace);
    startNotifications(main, delegate);
    if (!screenshot.empty()) watchForSmoke();

    loadPage();
    gtk_widget_show_all(window);
    present();

    std::weak_ptr<AppDelegate> weak = delegate;
    everySeconds(kScanSeconds, [weak] {
      if (auto d = weak.lock()) d->scan();
    });
    delegate->scan();  // returns at once: the first real scan follows the page load
  }

  void activate() { present(); }

  /// Files handed to Velmo (`velmo notes.md`, the file manager): the first opens in the
  /// reader, in the window Velmo already has.
  void openFiles(GFile** files, int count) {
    if (count < 1) return;
    char* path = g_file_get_path(files[0]);
    if (!path) {
      Log::note(Lang::pick("only local files open in Velmo", "רק קבצים מקומיים נפתחים בולמו"));
      present();
      return;
    }
    present();
    delegate->loadDoc(path, true);
    g_free(path);
  }

  int exitStatus = 0;

 private:
  // The window's own items; the rest are the application's.
  bool windowAct(const std::string& id) {
    static const std::map<std::string, const char*> editing = {
        {"undo", "Undo"},
        {"redo", "Redo"},
        {"cut", WEBKIT_EDITING_COMMAND_CUT},
        {"copy", WEBKIT_EDITING_COMMAND_COPY},
        {"paste", WEBKIT_EDITING_COMMAND_PASTE},
        {"selectAll", WEBKIT_EDITING_COMMAND_SELECT_ALL}};
    if (auto command = editing.find(id); command != editing.end()) {
      edit(id, command->second);
    } else if (id == "hide" || id == "close") {
      gtk_widget_hide(window);
    } else if (id == "minimize") {
      gtk_window_iconify(GTK_WINDOW(window));
    } else if (id == "bringToFront") {
      present();
    } else if (id == "quit") {
      g_application_quit(G_APPLICATION(app));
    } else if (id == "openDocument") {
      chooseDocument();
    } else {
      return id == "hideOthers";
    }
    return true;
  }

  // Application keys come before the page, so the editing keys are handed to whatever has
  // the focus: the page's editing commands in the window, a field's own in a dialog.
  void edit(const std::string& id, const char* webCommand) {
    GtkWindow* active = gtk_application_get_active_window(app);
    GtkWidget* focus = active ? gtk_window_get_focus(active) : nullptr;
    if (active && active != GTK_WINDOW(window) && focus && GTK_IS_EDITABLE(focus)) {
      static const std::map<std::string, const char*> signals = {{"cut", "cut-clipboard"},
                                                                 {"copy", "copy-clipboard"},
                                                                 {"paste", "paste-clipboard"}};
      if (auto signal = signals.find(id); signal != signals.end())
        g_signal_emit_by_name(focus, signal->second);
      else if (id == "selectAll")
        gtk_editable_select_region(GTK_EDITABLE(focus), 0, -1);
      return;
    }
    webkit_web_view_execute_editing_command(web, webCommand);
  }

  void chooseDocument() {
    GtkWidget* chooser = gtk_file_chooser_dialog_new(
        Lang::pick("Which document to open inside the conversation",
                   "איזה מסמך לפתוח בגוף השיחה"),
        GTK_WINDOW(window), GTK_FILE_CHOOSER_ACTION_OPEN, Lang::pick("Cancel", "ביטול"),
        GTK_RESPONSE_CANCEL, Lang::pick("Open", "פתיחה"), GTK_RESPONSE_ACCEPT, nullptr);
    std::string start = Paths::documents();
    if (Files::isDirectory(start))
      gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), start.c_str());
    g_signal_connect(chooser, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
                       auto* self = static_cast<WindowShell*>(data);
                       char* path = response == GTK_RESPONSE_ACCEPT
                                        ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d))
                                        : nullptr;
                       gtk_widget_destroy(GTK_WIDGET(d));
                       if (!path) return;
                       // From a conversation the document opens beside it.
                       self->delegate->loadDoc(path, self->delegate->conversation.openSID.empty());
                       g_free(path);
                     }),
                     this);
    gtk_widget_show(chooser);
  }

  // Whether the X server's keyboard focus is in the window. A hot key's grab takes the focus
  // from GTK's point of view for as long as the key is down, so GTK alone cannot say
  // whether the window was in front when the key was pressed.
  bool focusedOnX11() const {
    GdkWindow* own = gtk_widget_get_window(window);
    if (!own || !GDK_IS_X11_WINDOW(own)) return false;
    Display* display = GDK_WINDOW_XDISPLAY(own);
    ::Window ours = GDK_WINDOW_XID(own), focus = 0, root = 0, parent = 0, child = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == PointerRoot) {
      // Focus follows the pointer (no window manager): in front when the pointer is on it.
      int rx, ry, wx, wy;
      unsigned mask;
      XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rx, &ry, &wx, &wy,
                    &mask);
      focus = child;
    }
    for (::Window w = focus; w != 0 && w != None;) {
      if (w == ours) return true;
      ::Window* children = nullptr;
      unsigned count = 0;
      if (!XQueryTree(display, w, &root, &parent, &children, &count)) return false;
      if (children) XFree(children);
      if (w == root) return false;
      w = parent;
    }
    return false;
  }

  /// The hot key: away when it is in front, else forward.
  void toggleWindow() {
    if (gtk_widget_get_visible(window) &&
        (gtk_window_is_active(GTK_WINDOW(window)) || focusedOnX11()))
      gtk_widget_hide(window);
    else
      present();
  }

  // VELMO_WINDOW_TRACE names a file for the desktop tests: each menu item selected is a
  // line {"select": title}; on SIGUSR1 a line {"probe": …} tells what the window and the
  // page show (menus with check marks, direction, visibility, the page's view, direction
  // and focused field).
  void traceTo(const std::string& path) {
    tracePath = path;
    menuBar->onSelect([this](const std::string& title) { trace({{"select", title}}); });
    g_unix_signal_add(
        SIGUSR1,
        [](gpointer data) -> gboolean {
          static_cast<WindowShell*>(data)->probe();
          return G_SOURCE_CONTINUE;
        },
        this);
  }

  void trace(const nlohmann::json& line) { Files::append(tracePath, line.dump() + "\n"); }

  void probe() {
    nlohmann::json window_ = {
        {"menus", menuBar->shown()},
        {"rtl", gtk_widget_get_direction(GTK_WIDGET(menuBar->widget())) == GTK_TEXT_DIR_RTL},
        {"visible", gtk_widget_get_visible(window) != 0},
        {"active", gtk_window_is_active(GTK_WINDOW(window)) != 0},
        {"focus", gtk_window_has_toplevel_focus(GTK_WINDOW(window)) != 0},
        {"alerts", open.size()}};
    const char* script =
        "JSON.stringify({view: Frame.view(), dir: document.documentElement.dir || "
        "getComputedStyle(document.body).direction, field: (document.activeElement && "
        "'value' in document.activeElement) ? document.activeElement.value : null})";
    call("(function(){return " + std::string(script) + "})", {},
         [this, window_](const Reply& reply) {
           nlohmann::json page = nullptr;
           if (reply.value.is_string())
             page = nlohmann::json::parse(reply.value.get<std::string>(), nullptr, false);
           trace({{"probe", window_}, {"page", page}});
         });
  }

  void loadPage() {
    loaded = false;
    html = Page::document();
    webkit_web_view_load_html(web, html.c_str(), nullptr);
  }

  static void evaluated(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Done> done(static_cast<Done*>(data));
    GError* error = nullptr;
    JSCValue* value =
        webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
    Reply reply;
    if (error) {
      reply.error = error->message;
      g_error_free(error);
    } else if (value) {
      if (char* json = jsc_value_is_undefined(value) ? nullptr : jsc_value_to_json(value, 0)) {
        reply.value = nlohmann::json::parse(json, nullptr, false);
        if (reply.value.is_discarded()) reply.value = nullptr;
        g_free(json);
      }
    }
    if (value) g_object_unref(value);
    if (done && *done) (*done)(reply);
  }

  static void messaged(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self) {
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    char* json = value ? jsc_value_to_json(value, 0) : nullptr;
    if (!json) return;
    static_cast<WindowShell*>(self)->delegate->receiveText(json);
    g_free(json);
  }

  static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<WindowShell*>(data);
    if (event == WEBKIT_LOAD_STARTED) self->loaded = false;
    if (event != WEBKIT_LOAD_FINISHED) return;
    self->loaded = true;
    self->delegate->pageLoaded();
  }

  // The page is the whole interface: links and forms go through messages, so the view
  // itself never navigates away or opens windows.
  static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                               WebKitPolicyDecisionType type, gpointer) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
      webkit_policy_decision_ignore(decision);
      return TRUE;
    }
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitNavigationType kind = webkit_navigation_action_get_navigation_type(action);
    if (kind == WEBKIT_NAVIGATION_TYPE_OTHER || kind == WEBKIT_NAVIGATION_TYPE_RELOAD) return FALSE;
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }

  static void crashed(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data) {
    auto* self = static_cast<WindowShell*>(data);
    Log::note(Lang::pick("the page stopped; loading it again", "הדף נעצר; טוען אותו מחדש"));
    self->loadPage();
  }

  // VELMO_SMOKE_SCREENSHOT: after the first paint the page took, write the visible web
  // view as a PNG and quit; give up (status 3) when no paint comes.
  void watchForSmoke() {
    delegate->onPainted([this] {
      if (shotTaken) return;
      shotTaken = true;
      g_timeout_add(
          kSmokeSettleMs,
          [](gpointer data) -> gboolean {
            auto* self = static_cast<WindowShell*>(data);
            webkit_web_view_get_snapshot(self->web, WEBKIT_SNAPSHOT_REGION_VISIBLE,
                                         WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr, snapped, self);
            return G_SOURCE_REMOVE;
          },
          this);
    });
    g_timeout_add(
        kSmokeGiveUpMs,
        [](gpointer data) -> gboolean {
          auto* self = static_cast<WindowShell*>(data);
          Log::note(Lang::pick("smoke test: the page was never painted", "בדיקת עשן: הדף לא צויר"));
          self->exitStatus = 3;
          g_application_quit(G_APPLICATION(self->app));
          return G_SOURCE_REMOVE;
        },
        this);
  }

  static void snapped(GObject* source, GAsyncResult* result, gpointer data) {
    auto* self = static_cast<WindowShell*>(data);
    GError* error = nullptr;
    cairo_surface_t* surface =
        webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
    if (!surface ||
        cairo_surface_write_to_png(surface, self->screenshot.c_str()) != CAIRO_STATUS_SUCCESS) {
      Log::note(
          Lang::pick("smoke test: no snapshot — ", "בדיקת עשן: אין צילום — ") +
          std::string(error ? error->message : cairo_status_to_string(CAIRO_STATUS_WRITE_ERROR)));
      self->exitStatus = 3;
    }
    if (error) g_error_free(error);
    if (surface) cairo_surface_destroy(surface);
    g_application_quit(G_APPLICATION(self->app));
  }

  /// An alert on screen and the reply it owes.
  struct Shown {
    WindowShell* shell;
    std::function<void(int)> done;
  };

  std::string screenshot;
  bool shotTaken = false;
  std::map<GtkWidget*, std::string> open;  ///< the alerts on screen and their tags
  GtkApplication* app = nullptr;
  GtkWidget* window = nullptr;
  WebKitWebView* web = nullptr;
  bool loaded = false;
  std::string html;
  GlibMainQueue main;
  std::shared_ptr<AppDelegate> delegate;
  std::unique_ptr<MenuBar> menuBar;
  std::unique_ptr<HotKeys> hotKeys;
  std::string tracePath;
};

}  // namespace

int runWindow(const char* program, const std::vector<std::string>& files, bool& noDisplay) {
  noDisplay = false;
  if (!gtk_init_check(nullptr, nullptr)) {
    noDisplay = true;
    return 1;
  }
  const char* shot = std::getenv("VELMO_SMOKE_SCREENSHOT");
  WindowShell shell(shot ? shot : "");
  // One Velmo per session: running it again activates the first, which shows its window.
  // A smoke run must not hand itself to a Velmo the user already runs.
  GApplicationFlags flags = static_cast<GApplicationFlags>(
      (shot ? G_APPLICATION_NON_UNIQUE : G_APPLICATION_DEFAULT_FLAGS) | G_APPLICATION_HANDLES_OPEN);
  GtkApplication* gapp = gtk_application_new(kAppId, flags);
  g_signal_connect(gapp, "startup", G_CALLBACK(+[](GtkApplication* a, gpointer s) {
                     static_cast<WindowShell*>(s)->startup(a);
                   }),
                   &shell);
  g_signal_connect(gapp, "activate", G_CALLBACK(+[](GtkApplication*, gpointer s) {
                     static_cast<WindowShell*>(s)->activate();
                   }),
                   &shell);
  g_signal_connect(gapp, "open",
                   G_CALLBACK(+[](GApplication*, GFile** files, int count, char*, gpointer s) {
                     static_cast<WindowShell*>(s)->openFiles(files, count);
                   }),
                   &shell);
  // GApplication reads the files from the command line and hands them to the Velmo that
  // runs already, when one does; this one then exits.
  std::vector<char*> argv = {const_cast<char*>(program)};
  for (const auto& f : files) argv.push_back(const_cast<char*>(f.c_str()));
  argv.push_back(nullptr);
  int status = g_application_run(G_APPLICATION(gapp), static_cast<int>(argv.size() - 1), argv.data());
  g_object_unref(gapp);
  return status != 0 ? status : shell.exitStatus;
}
