// Browser mode end to end: the real program, its loopback server, the token and header
// rules, and the bridge over a real WebSocket (a libsoup client stands in for the page).

#include <gtest/gtest.h>
#include <libsoup/soup.h>

#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/paths.h"
#include "e2e/page_bridge.h"
#include "e2e/velmo_run.h"
#include "support/home.h"

namespace {

std::map<std::string, std::string> servedEnvironment(const std::string& home,
                                                     std::map<std::string, std::string> extra) {
  extra.insert(
      {{"HOME", home}, {"VELMO_LANG", "en"}, {"XDG_CONFIG_HOME", ""}, {"CLAUDE_CONFIG_DIR", ""}});
  return extra;
}

struct Served {
  std::string home;
  bool ownHome = true;
  VelmoRun run;
  std::string url, token;
  int port = 0;

  /// `extra` adds to Velmo's environment.
  explicit Served(const std::map<std::string, std::string>& extra = {})
      : Served(makeTempDir("velmo-serve"), true, extra, false) {}
  /// Served on a home someone else keeps, with its standard error read with its output.
  Served(std::string at, bool own, const std::map<std::string, std::string>& extra, bool errors)
      : home(std::move(at)),
        ownHome(own),
        run(VELMO_BINARY, {"--serve", "--no-open"}, servedEnvironment(home, extra), errors) {
    auto first = run.line(60);
    if (!first) return;
    url = *first;
    std::smatch m;
    static const std::regex shape(R"(^http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{64})$)");
    if (std::regex_match(url, m, shape)) {
      port = std::stoi(m[1]);
      token = m[2];
    }
  }
  ~Served() {
    run.stop();
    if (ownHome) removeTree(home);
  }
  std::string get(const std::string& target, const std::string& host = "") const {
    return "GET " + target + " HTTP/1.1\r\nHost: " +
           (host.empty() ? "127.0.0.1:" + std::to_string(port) : host) + "\r\nConnection: close\r\n\r\n";
  }
  std::string upgrade(const std::string& target, const std::string& origin) const {
    std::string r = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    if (!origin.empty()) r += "Origin: " + origin + "\r\n";
    return r + "\r\n";
  }
};

/// Whether something answers on the control socket of a home.
bool controlAnswers(const std::string& home) {
  std::string path = home + "/.claude/velmo-state/velmo-" + Paths::host() + ".sock";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  path.copy(addr.sun_path, path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool live = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return live;
}

}  // namespace

TEST(Serve, ASecondVelmoOnOneHomeOnlyWatchesAndTakesOverWhenTheFirstIsKilled) {
  std::string home = makeTempDir("velmo-two");
  {
    auto first = std::make_unique<Served>(home, false, std::map<std::string, std::string>{}, false);
    ASSERT_NE(first->port, 0) << first->url;
    Served second(home, false, {}, true);
    std::string said = second.url + "\n";  // with standard error merged, the note may come first
    for (int i = 0; i < 40 && said.find("only watches") == std::string::npos; ++i)
      if (auto l = second.run.line(0.5)) said += *l + "\n";
    EXPECT_NE(said.find("another Velmo types and notifies for this user; this one only watches"),
              std::string::npos)
        << said;
    EXPECT_TRUE(controlAnswers(home));

    // A crash leaves the socket file behind with nobody on it; the watcher takes the claim
    // at one of its next scans and answers there.
    ::kill(first->run.pid(), SIGKILL);
    first->run.wait(5);
    bool answered = false;
    for (int i = 0; i < 240 && !answered; ++i) {
      answered = controlAnswers(home);
      if (!answered) ::usleep(250000);
    }
    EXPECT_TRUE(answered) << "the second Velmo never took over the control socket";
  }
  removeTree(home);
}

TEST(Serve, PrintsItsAddressAndGuardsEveryRequest) {
  Served s;
  ASSERT_NE(s.port, 0) << "first line: " << s.url;
  std::string page;
  EXPECT_EQ(httpStatus(s.port, s.get("/?token=" + s.token), &page), 200);
  EXPECT_NE(page.find("window.webkit.messageHandlers.velmo"), std::string::npos);
  EXPECT_NE(page.find("Referrer-Policy: no-referrer"), std::string::npos);
  EXPECT_EQ(httpStatus(s.port, s.get("/?token=" + s.token, "localhost:" + std::to_string(s.port))), 200);

  EXPECT_EQ(httpStatus(s.port, s.get("/")), 403);
  EXPECT_EQ(httpStatus(s.port, s.get("/?token=" + s.token.substr(1) + "0")), 403);
  EXPECT_EQ(httpStatus(s.port, s.get("/favicon.ico")), 403);
  EXPECT_EQ(httpStatus(s.port, s.get("/nothing?token=" + s.token)), 404);
  // DNS rebinding: the right token under a foreign name is still refused.
  EXPECT_EQ(httpStatus(s.port, s.get("/?token=" + s.token, "evil.example:" + std::to_string(s.port))), 403);
  EXPECT_EQ(httpStatus(s.port, s.get("/?token=" + s.token, "127.0.0.1:1")), 403);
}

// The served page opens with the bridge, its token filled in: from the page on disk as well,
// and from the built-in bridge for a stand-in page that brings none of its own.
TEST(Serve, ThePageCarriesTheBridgeWithItsToken) {
  for (std::string dir : {VELMO_SOURCE_DIR "/page", VELMO_SOURCE_DIR "/tests/e2e/fixtures/page"}) {
    Served s({{"VELMO_PAGE_DIR", dir}});
    ASSERT_NE(s.port, 0) << dir;
    std::string page;
    ASSERT_EQ(httpStatus(s.port, s.get("/?token=" + s.token), &page), 200) << dir;
    size_t bridge = page.find("var token = \"" + s.token + "\";");
    EXPECT_NE(bridge, std::string::npos) << dir;
    EXPECT_LT(bridge, page.find("</head>")) << dir;
    EXPECT_EQ(page.find("\"__TOKEN__\""), std::string::npos) << dir;
  }
}

TEST(Serve, TheBridgeWantsTheTokenAndThePagesOwnOrigin) {
  Served s;
  ASSERT_NE(s.port, 0);
  std::string own = "http://127.0.0.1:" + std::to_string(s.port);
  EXPECT_EQ(httpStatus(s.port, s.upgrade("/bridge", own)), 403);
  EXPECT_EQ(httpStatus(s.port, s.upgrade("/bridge?token=" + s.token, "http://evil.example")), 403);
  EXPECT_EQ(httpStatus(s.port, s.upgrade("/bridge?token=" + s.token, "")), 403);
  EXPECT_EQ(httpStatus(s.port, s.upgrade("/bridge?token=" + s.token, own)), 101);
}

TEST(Serve, AMessageOverTheBridgeLeadsToAPaint) {
  Served s;
  ASSERT_NE(s.port, 0);
  std::string base = "ws://127.0.0.1:" + std::to_string(s.port) + "/bridge?token=" + s.token;
  Bridge page(base, "http://127.0.0.1:" + std::to_string(s.port));
  ASSERT_TRUE(page.conn) << "the bridge refused a well-formed connection";

  // A connection is a page load: the application paints at once.
  auto first = page.next("paint");
  ASSERT_FALSE(first.is_null());
  auto payload = first["args"][0];
  EXPECT_TRUE(payload["units"].is_array());
  EXPECT_TRUE(payload["alerts"].is_array());
  EXPECT_EQ(payload["clock"].get<std::string>().size(), 5u);

  page.send({{"act", "refresh"}});
  EXPECT_FALSE(page.next("paint").is_null()) << "refresh must repaint even an unchanged page";

  // Alerts are drawn by the page: sending to a terminal that is not there asks for one.
  page.send({{"act", "quick"}, {"sid", "no-such-session"}, {"text", "hello"}});
  auto alert = page.next("velmoAlert");
  ASSERT_FALSE(alert.is_null());
  EXPECT_EQ(alert["args"][0]["title"], "The terminal for this conversation is closed");
  EXPECT_EQ(alert["args"][0]["buttons"], nlohmann::json::array({"OK"}));

  // A second tab takes the bridge; the first is told why it was closed.
  Bridge other(base, "http://127.0.0.1:" + std::to_string(s.port));
  ASSERT_TRUE(other.conn);
  EXPECT_FALSE(other.next("paint").is_null());
  page.spin([&] { return page.closeCode != 0; }, 5);
  EXPECT_EQ(soup_websocket_connection_get_state(page.conn), SOUP_WEBSOCKET_STATE_CLOSED);
  EXPECT_EQ(page.closeCode, 4001);
}

TEST(Serve, WithoutADisplayTheWindowFallsBackToBrowserMode) {
  std::string home = makeTempDir("velmo-serve");
  VelmoRun run(VELMO_BINARY, {}, {{"HOME", home}, {"VELMO_LANG", "en"}, {"DISPLAY", ""},
                                  {"WAYLAND_DISPLAY", ""}, {"XDG_CONFIG_HOME", ""}},
               true);
  auto said = run.line(60);
  auto url = run.line(60);
  ASSERT_TRUE(said && url);
  EXPECT_EQ(*said, "Velmo: no display server — serving the page for a browser instead");
  EXPECT_EQ(url->rfind("http://127.0.0.1:", 0), 0u) << *url;
  run.stop();
  removeTree(home);
}
