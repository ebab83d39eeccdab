#pragma once
// A page stand-in on browser mode's bridge: a libsoup WebSocket client that collects the
// application's page calls and answers them as the page would.

#include <glib.h>
#include <libsoup/soup.h>

#include <deque>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

/// A page stand-in on the bridge: collects the application's calls and answers them.
/// All stand-ins share the default main context, which `spin` runs.
class Bridge {
 public:
  Bridge(const std::string& url, const std::string& origin) {
    session = soup_session_new();
    SoupMessage* msg = soup_message_new("GET", url.c_str());
    soup_session_websocket_connect_async(session, msg, origin.c_str(), nullptr, G_PRIORITY_DEFAULT,
                                         nullptr, connected, this);
    g_object_unref(msg);
    spin([this] { return conn != nullptr || failed; }, 30);
  }
  ~Bridge() {
    if (conn) g_object_unref(conn);
    g_object_unref(session);
  }

  void send(const nlohmann::json& m) {
    soup_websocket_connection_send_text(conn, m.dump().c_str());
  }

  /// The next call of `name`, left for the caller to answer with `reply`; every other call
  /// is answered as `next` does. Null when none came in time.
  nlohmann::json take(const std::string& name, double seconds = 30) {
    nlohmann::json found;
    spin(
        [&] {
          while (!inbox.empty()) {
            auto m = inbox.front();
            inbox.pop_front();
            if (m["call"] == name) {
              found = m;
              return true;
            }
            if (m.contains("id")) send({{"reply", m["id"]}, {"value", nullptr}});
          }
          return false;
        },
        seconds);
    return found;
  }
  void reply(const nlohmann::json& call, const nlohmann::json& value) {
    send({{"reply", call["id"]}, {"value", value}});
  }

  /// The next call of `name`, answered as a page would; null when none came in time.
  nlohmann::json next(const std::string& name, double seconds = 30) {
    nlohmann::json found;
    spin(
        [&] {
          while (!inbox.empty()) {
            auto m = inbox.front();
            inbox.pop_front();
            if (m.contains("id")) send({{"reply", m["id"]}, {"value", nullptr}});
            if (m["call"] == name) {
              found = m;
              return true;
            }
          }
          return false;
        },
        seconds);
    return found;
  }

  bool spin(const std::function<bool()>& done, double seconds) {
    gint64 until = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    while (!done()) {
      if (g_get_monotonic_time() > until) return false;
      g_main_context_iteration(nullptr, FALSE);
      g_usleep(2000);
    }
    return true;
  }

  SoupWebsocketConnection* conn = nullptr;
  bool failed = false;
  int closeCode = 0;
  std::deque<nlohmann::json> inbox;

 private:
  static void connected(GObject* source, GAsyncResult* result, gpointer data) {
    auto* self = static_cast<Bridge*>(data);
    GError* error = nullptr;
    self->conn = soup_session_websocket_connect_finish(SOUP_SESSION(source), result, &error);
    if (!self->conn) {
      self->failed = true;
      g_error_free(error);
      return;
    }
    g_signal_connect(
        self->conn, "message",
        G_CALLBACK(+[](SoupWebsocketConnection*, gint, GBytes* b, gpointer d) {
          gsize n = 0;
          auto* p = static_cast<const char*>(g_bytes_get_data(b, &n));
          static_cast<Bridge*>(d)->inbox.push_back(nlohmann::json::parse(std::string(p, n)));
        }),
        self);
    g_signal_connect(self->conn, "closed", G_CALLBACK(+[](SoupWebsocketConnection* c, gpointer d) {
                       static_cast<Bridge*>(d)->closeCode =
                           soup_websocket_connection_get_close_code(c);
                     }),
                     self);
  }

  SoupSession* session;
};
