#include "shell/browser/serve.h"

#include <glib-unix.h>
#include <libsoup/soup.h>
#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "app/app_delegate.h"
#include "app/control_hooks.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/text.h"
#include "page/document.h"
#include "shell/browser/shim.h"
#include "shell/glib_queue.h"
#include "shell/notify_start.h"

namespace {

constexpr int kReplacedCode = 4001;             // a newer tab took the bridge
constexpr guint64 kMaxMessageBytes = 64 << 20;  // pasted files arrive as Base64
constexpr guint kKeepAliveSeconds = 30;
constexpr double kScanSeconds = 1.5;

// 256 random bits as 64 hexadecimal digits; empty when the kernel gives none.
std::string randomToken() {
  unsigned char bytes[32];
  size_t have = 0;
  while (have < sizeof bytes) {
    ssize_t got = getrandom(bytes + have, sizeof bytes - have, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return "";
    }
    have += static_cast<size_t>(got);
  }
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// Compares without stopping at the first difference, so timing tells nothing of the token.
bool sameSecret(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  return diff == 0;
}

/// The page at the other end of the WebSocket: page calls go out as JSON, their answers
/// and the page's messages come back; alerts are drawn by the page.
class BrowserPage final : public PageHost, public Dialogs {
 public:
  ~BrowserPage() override { detach(nullptr); }

  void call(const std::string& name, const std::vector<std::string>& args, Done done) override {
    if (!attached()) {
      if (done) done(Reply{"no page is connected", nullptr});
      return;
    }
    int64_t id = ++lastId;
    if (done) waiting[id] = std::move(done);
    std::string text = "{\"id\":" + std::to_string(id) + ",\"call\":" + jsString(name) +
                       ",\"args\":[" + Text::join(args, ",") + "]}";
    soup_websocket_connection_send_text(socket, text.c_str());
  }

  bool attached() const override {
    return socket && soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_OPEN;
  }

  void alert(const Alert& a, std::function<void(int)> done) override {
    nlohmann::json buttons = a.buttons;
    if (a.buttons.empty()) buttons = {Lang::pick("OK", "אישור")};
    nlohmann::json alert = {
        {"title", a.title}, {"text", a.text}, {"buttons", buttons}, {"tag", a.tag}};
    if (!attached()) {
      // Nobody to ask: the alert still reaches the person running Velmo.
      Log::note(a.title + " — " + a.text);
      if (done) done(-1);
      return;
    }
    auto open = openTags.insert(a.tag);
    call("velmoAlert", {scriptJson(alert)}, [this, open, done](const Reply& r) {
      openTags.erase(open);
      if (done) done(r.error.empty() && r.value.is_number_integer() ? r.value.get<int>() : -1);
    });
  }

  void present() override {}

  bool showing() const override { return !openTags.empty(); }

  void dismiss(const std::string& tag, int index) override {
    if (openTags.count(tag))
      call("velmoAlertDismiss", {jsString(tag), std::to_string(index)}, nullptr);
  }

  /// Takes a new connection (owned by the server until it closes); an older one is
  /// closed and its calls fail.
  void attach(SoupWebsocketConnection* conn) {
    if (socket) {
      SoupWebsocketConnection* old = socket;
      detach(old);
      soup_websocket_connection_close(old, kReplacedCode, "replaced");
    }
    socket = conn;
  }

  /// Forgets the connection (when it is the current one, or any with nullptr).
  void detach(SoupWebsocketConnection* conn) {
    if (!socket || (conn && conn != socket)) return;
    socket = nullptr;
    auto failed = std::move(waiting);
    waiting.clear();
    for (auto& [id, done] : failed) done(Reply{"the page went away", nullptr});
  }

  bool current(SoupWebsocketConnection* conn) const { return conn == socket; }

  void answered(const nlohmann::json& reply) {
    auto id = reply.find("reply");
    if (id == reply.end() || !id->is_number_integer()) return;
    auto it = waiting.find(id->get<int64_t>());
    if (it == waiting.end()) return;
    Done done = std::move(it->second);
    waiting.erase(it);
    Reply r;
    auto error = reply.find("error");
    if (error != reply.end())
      r.error = error->is_string() ? error->get<std::string>() : error->dump();
    if (r.error.empty() && reply.contains("value")) r.value = reply["value"];
    done(r);
  }

 private:
  SoupWebsocketConnection* socket = nullptr;
  int64_t lastId = 0;
  std::map<int64_t, Done> waiting;
  std::multiset<std::string> openTags;  ///< tags of the alerts the page shows now
};

struct Server {
  SoupServer* soup = nullptr;
  std::string token;
  int port = 0;
  std::string html;
  std::string policy;  ///< the page's Content-Security-Policy, sent with it as a header too
  BrowserPage page;
  GlibMainQueue main;
  std::shared_ptr<AppDelegate> app;
};

std::string header(SoupServerMessage* msg, const char* name) {
  const char* v = soup_message_headers_get_one(soup_server_message_get_request_headers(msg), name);
  return v ? v : "";
}

// Answers other than the page itself load nothing at all.
constexpr const char* kBarePolicy = "default-src 'none'";

void respond(SoupServerMessage* msg, unsigned status, const std::string& type,
             const std::string& body, const std::string& policy = kBarePolicy) {
  soup_server_message_set_status(msg, status, nullptr);
  SoupMessageHeaders* h = soup_server_message_get_response_headers(msg);
  soup_message_headers_replace(h, "Cache-Control", "no-store");
  soup_message_headers_replace(h, "Referrer-Policy", "no-referrer");
  soup_message_headers_replace(h, "X-Content-Type-Options", "nosniff");
  soup_message_headers_replace(h, "X-Frame-Options", "DENY");
  // frame-ancestors counts only in a header, so it is added here to the page's own policy.
  soup_message_headers_replace(h, "Content-Security-Policy",
                               (policy + "; frame-ancestors 'none'").c_str());
  soup_server_message_set_response(msg, type.c_str(), SOUP_MEMORY_COPY, body.data(), body.size());
}

void refuse(SoupServerMessage* msg, const char* why) {
  respond(msg, SOUP_STATUS_FORBIDDEN, "text/plain; charset=utf-8",
          std::string("Forbidden: ") + why + "\n");
}

// Every request passes here once its head is read, before any handler or WebSocket
// upgrade: loopback names only (no DNS rebinding), the token, and for the bridge (or any
// request that carries one) an Origin that is the page's own.
void checkRequest(SoupServer*, SoupServerMessage* msg, gpointer data) {
  auto* server = static_cast<Server*>(data);
  std::string port = ":" + std::to_string(server->port);
  std::string host = header(msg, "Host");
  if (host != "127.0.0.1" + port && host != "localhost" + port) {
    refuse(msg, "unexpected Host");
    return;
  }
  GUri* uri = soup_server_message_get_uri(msg);
  std::string given;
  if (const char* query = g_uri_get_query(uri)) {
    GHashTable* params = soup_form_decode(query);
    if (auto* t = static_cast<const char*>(g_hash_table_lookup(params, "token"))) given = t;
    g_hash_table_unref(params);
  }
  if (!sameSecret(given, server->token)) {
    refuse(msg, "missing or wrong token");
    return;
  }
  std::string origin = header(msg, "Origin");
  bool bridge = std::strcmp(g_uri_get_path(uri), "/bridge") == 0;
  if ((bridge || !origin.empty()) && origin != "http://" + host) refuse(msg, "unexpected Origin");
}

void servePage(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer data) {
  auto* server = static_cast<Server*>(data);
  const char* method = soup_server_message_get_method(msg);
  if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
    respond(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "text/plain; charset=utf-8",
            "Method not allowed\n");
    return;
  }
  if (std::strcmp(path, "/") != 0) {
    respond(msg, SOUP_STATUS_NOT_FOUND, "text/plain; charset=utf-8", "Not found\n");
    return;
  }
  respond(msg, SOUP_STATUS_OK, "text/html; charset=utf-8", server->html, server->policy);
}

void onSocketMessage(SoupWebsocketConnection* conn, gint type, GBytes* bytes, gpointer data) {
  auto* server = static_cast<Server*>(data);
  if (type != SOUP_WEBSOCKET_DATA_TEXT || !server->page.current(conn)) return;
  gsize size = 0;
  const char* raw = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  auto message = nlohmann::json::parse(std::string(raw ? raw : "", size), nullptr, false);
  if (!message.is_object()) return;
  if (message.contains("reply"))
    server->page.answered(message);
  else
    server->app->receive(message);
}

void onSocketClosed(SoupWebsocketConnection* conn, gpointer data) {
  static_cast<Server*>(data)->page.detach(conn);
  g_object_unref(conn);
}

void onSocket(SoupServer*, SoupServerMessage*, const char*, SoupWebsocketConnection* conn,
              gpointer data) {
  auto* server = static_cast<Server*>(data);
  g_object_ref(conn);  // dropped when it closes
  soup_websocket_connection_set_max_incoming_payload_size(conn, kMaxMessageBytes);
  soup_websocket_connection_set_keepalive_interval(conn, kKeepAliveSeconds);
  g_signal_connect(conn, "message", G_CALLBACK(onSocketMessage), server);
  g_signal_connect(conn, "closed", G_CALLBACK(onSocketClosed), server);
  server->page.attach(conn);
  server->app->pageLoaded();
}

gboolean quitLoop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_REMOVE;
}

void openInBrowser(const std::string& url) {
  const char* argv[] = {"xdg-open", url.c_str(), nullptr};
  GError* error = nullptr;
  // Without G_SPAWN_DO_NOT_REAP_CHILD GLib reaps the child itself.
  if (!g_spawn_async(nullptr, const_cast<char**>(argv), nullptr,
                     GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL |
                                 G_SPAWN_STDERR_TO_DEV_NULL),
                     nullptr, nullptr, nullptr, &error)) {
    Log::note(std::string(Lang::pick("could not open a browser — ", "לא הצלחתי לפתוח דפדפן — ")) +
              error->message);
    g_error_free(error);
  }
}

}  // namespace

int runServe(const ServeOptions& options) {
  auto server = std::make_unique<Server>();
  server->token = randomToken();
  if (server->token.empty()) {
    Log::note(
        Lang::pick("no random numbers for the access token", "אין מספרים אקראיים לאסימון הגישה"));
    return 1;
  }
  server->soup = soup_server_new("server-header", "velmo", nullptr);
  g_signal_connect(server->soup, "request-read", G_CALLBACK(checkRequest), server.get());
  soup_server_add_handler(server->soup, nullptr, servePage, server.get(), nullptr);
  soup_server_add_websocket_handler(server->soup, "/bridge", nullptr, nullptr, onSocket,
                                    server.get(), nullptr);

  GError* error = nullptr;
  if (!soup_server_listen_local(server->soup, static_cast<guint>(options.port),
                                SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
    Log::note(
        std::string(Lang::pick("cannot listen on 127.0.0.1:", "אי אפשר להאזין ב־127.0.0.1:")) +
        std::to_string(options.port) + " — " + error->message);
    g_error_free(error);
    return 1;
  }
  GSList* uris = soup_server_get_uris(server->soup);
  server->port = uris ? g_uri_get_port(static_cast<GUri*>(uris->data)) : options.port;
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));

  auto files = Page::files();
  // The bridge connects back to this server under either loopback name the Host check allows.
  std::string port = std::to_string(server->port);
  server->html = Page::document(files, Lang::code(), shimMarkup(files, server->token),
                                "ws://127.0.0.1:" + port + " ws://localhost:" + port);
  server->policy = Page::policyOf(server->html);

  AppDelegate::Hosts hosts;
  hosts.page = &server->page;
  hosts.main = &server->main;
  hosts.dialogs = &server->page;
  server->app = AppDelegate::make(hosts);
  if (!options.document.empty()) server->app->loadDoc(options.document, true);
  installHooks(server->app, hosts);
  startNotifications(server->main, server->app);
  server->app->startWithoutPage();
  std::weak_ptr<AppDelegate> weak = server->app;
  everySeconds(kScanSeconds, [weak] {
    if (auto app = weak.lock()) app->scan();
  });

  std::string url = "http://127.0.0.1:" + std::to_string(server->port) + "/?token=" + server->token;
  std::printf("%s\n", url.c_str());
  std::fflush(stdout);
  if (options.open) openInBrowser(url);

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGINT, quitLoop, loop);
  g_unix_signal_add(SIGTERM, quitLoop, loop);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);

  soup_server_disconnect(server->soup);
  server->app.reset();
  g_object_unref(server->soup);
  return 0;
}
