#include "shell/notifier_dbus.h"

#include <gio/gio.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr int kCallMs = 3000;  // a server that takes longer is treated as absent
// The key of a reply field in the inline-reply extension; it comes back as
// NotificationReplied, not as an action.
constexpr const char* kInlineReply = "inline-reply";

std::string takeError(GError*& error) {
  std::string text = error ? error->message : "unknown error";
  g_clear_error(&error);
  return text;
}

class DbusNotifier final : public Notifier {
 public:
  explicit DbusNotifier(std::string address)
      : address(std::move(address)),
        context(g_main_context_new()),
        loop(g_main_loop_new(context, FALSE)) {
    worker = std::thread([this] { run(); });
    std::unique_lock<std::mutex> guard(lock);
    started.wait(guard, [this] { return up; });
  }

  ~DbusNotifier() override {
    // Quitting from a source of the loop's own context cannot come before the loop runs.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer data) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(data));
          return G_SOURCE_REMOVE;
        },
        loop, nullptr);
    g_source_attach(quit, context);
    g_source_unref(quit);
    worker.join();
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }

  Posted post(const Request& request) override {
    if (!bus) return {0, connectError};
    std::set<std::string> caps = capabilities().names;

    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    for (const auto& a : request.actions) {
      if (a.textInput) {
        g_variant_builder_add(&actions, "s", kInlineReply);
        g_variant_builder_add(&actions, "s", a.label.c_str());
        g_variant_builder_add(&hints, "{sv}", "x-kde-reply-placeholder-text",
                              g_variant_new_string(a.placeholder.c_str()));
        g_variant_builder_add(&hints, "{sv}", "x-kde-reply-submit-button-text",
                              g_variant_new_string(a.sendLabel.c_str()));
      } else {
        g_variant_builder_add(&actions, "s", a.key.c_str());
        g_variant_builder_add(&actions, "s", a.label.c_str());
      }
    }
    for (const auto& [key, value] : request.hints)
      g_variant_builder_add(&hints, "{sv}", key.c_str(), g_variant_new_string(value.c_str()));
    if (request.sound)
      g_variant_builder_add(&hints, "{sv}", "sound-name",
                            g_variant_new_string("message-new-instant"));
    else
      g_variant_builder_add(&hints, "{sv}", "suppress-sound", g_variant_new_boolean(TRUE));
    g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));

    // A server that reads markup would take "<" and "&" in a prompt as tags.
    std::string body = request.body;
    if (caps.count("body-markup")) {
      gchar* escaped = g_markup_escape_text(body.c_str(), -1);
      body = escaped;
      g_free(escaped);
    }

    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kName, kPath, kInterface, "Notify",
        g_variant_new("(susssasa{sv}i)", "Velmo", 0u, "", request.summary.c_str(), body.c_str(),
                      &actions, &hints, request.persistent ? 0 : -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kCallMs, nullptr, &error);
    if (!reply) return {0, takeError(error)};
    guint32 id = 0;
    g_variant_get(reply, "(u)", &id);
    g_variant_unref(reply);
    if (!id) return {0, "the server gave no id"};
    return {id, ""};
  }

  bool close(uint32_t id) override {
    if (!bus) return false;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kName, kPath, kInterface, "CloseNotification", g_variant_new("(u)", id), nullptr,
        G_DBUS_CALL_FLAGS_NONE, kCallMs, nullptr, &error);
    g_clear_error(&error);
    if (!reply) return false;
    g_variant_unref(reply);
    return true;
  }

  Capabilities capabilities() override {
    Capabilities caps;
    if (!bus) {
      caps.error = connectError;
      return caps;
    }
    GError* error = nullptr;
    // Asking for the capabilities starts a server that is only activatable.
    GVariant* reply = g_dbus_connection_call_sync(bus, kName, kPath, kInterface, "GetCapabilities",
                                                  nullptr, G_VARIANT_TYPE("(as)"),
                                                  G_DBUS_CALL_FLAGS_NONE, kCallMs, nullptr, &error);
    if (!reply) {
      caps.error = takeError(error);
      return caps;
    }
    GVariantIter* iter = nullptr;
    const gchar* name = nullptr;
    g_variant_get(reply, "(as)", &iter);
    while (g_variant_iter_loop(iter, "&s", &name)) caps.names.insert(name);
    g_variant_iter_free(iter);
    g_variant_unref(reply);
    caps.reached = true;

    GVariant* owner = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetNameOwner", g_variant_new("(s)", kName), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
        kCallMs, nullptr, &error);
    if (owner) {
      const gchar* unique = nullptr;
      g_variant_get(owner, "(&s)", &unique);
      caps.server = unique;
      g_variant_unref(owner);
    }
    g_clear_error(&error);
    return caps;
  }

  void listen(Events replacement) override {
    std::lock_guard<std::mutex> guard(lock);
    events = std::move(replacement);
  }

 private:
  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                       const gchar* signal, GVariant* parameters, gpointer data) {
    auto* self = static_cast<DbusNotifier*>(data);
    Events now;
    {
      std::lock_guard<std::mutex> guard(self->lock);
      now = self->events;
    }
    std::string name = signal;
    if (name == "ActionInvoked" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
      guint32 id = 0;
      const gchar* key = nullptr;
      g_variant_get(parameters, "(u&s)", &id, &key);
      if (now.action && std::string(key) != kInlineReply) now.action(id, key);
    } else if (name == "NotificationReplied" &&
               g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
      guint32 id = 0;
      const gchar* text = nullptr;
      g_variant_get(parameters, "(u&s)", &id, &text);
      if (now.reply) now.reply(id, text);
    } else if (name == "NotificationClosed" &&
               g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
      guint32 id = 0, reason = 0;
      g_variant_get(parameters, "(uu)", &id, &reason);
      if (now.closed) now.closed(id, reason);
    }
  }

  // The signals are delivered to the context that was the thread's default when they were
  // subscribed, so the connection is made here and this thread's loop hears them, whatever
  // the rest of the program does with its own main loop.
  void run() {
    g_main_context_push_thread_default(context);
    GError* error = nullptr;
    std::string where = address;
    if (where.empty()) {
      gchar* found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
      if (found) {
        where = found;
        g_free(found);
      }
    }
    GDBusConnection* connection = nullptr;
    if (!where.empty()) {
      // A connection of its own, not the shared one: closing it never waits on others.
      connection = g_dbus_connection_new_for_address_sync(
          where.c_str(),
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, &error);
    }
    guint subscription = 0;
    if (connection) {
      g_dbus_connection_set_exit_on_close(connection, FALSE);
      subscription =
          g_dbus_connection_signal_subscribe(connection, kName, kInterface, nullptr, kPath, nullptr,
                                             G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr);
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      bus = connection;
      if (!connection) connectError = "no session bus: " + takeError(error);
      up = true;
    }
    started.notify_all();
    g_main_loop_run(loop);
    if (connection) {
      g_dbus_connection_signal_unsubscribe(connection, subscription);
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      g_object_unref(connection);
    }
    g_clear_error(&error);
    // Let what the unsubscription left behind run before the context goes.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
  }

  std::string address;
  GMainContext* context;
  GMainLoop* loop;
  std::mutex lock;
  std::condition_variable started;
  bool up = false;
  GDBusConnection* bus = nullptr;  ///< set once before the constructor returns
  std::string connectError;
  Events events;
  std::thread worker;
};

}  // namespace

std::shared_ptr<Notifier> dbusNotifier(const std::string& address) {
  return std::make_shared<DbusNotifier>(address);
}
