#pragma once
// An application centre wired to fakes: a recording page, manual main and background
// queues, a fake clock, a temporary home, a scripted terminal host, and payload builders
// the test sets.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>

#include "app/app_delegate.h"
#include "base/caches.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/manual_queue.h"
#include "support/recording_page.h"
#include "support/scripted_host.h"
#include "terminals/answer.h"
#include "terminals/picker.h"

class RecordingDialogs final : public Dialogs {
 public:
  void alert(const Alert& a, std::function<void(int)> done) override {
    alerts.push_back(a);
    done(answer);
  }
  void present() override { ++presented; }

  std::vector<Alert> alerts;
  int answer = -1;
  int presented = 0;
};

class AppTest : public ::testing::Test {
 protected:
  AppTest() {
    ::setenv("VELMO_LANG", "en", 1);
    home = std::make_unique<ScopedHome>();
    Caches::emptyAll();
  }
  ~AppTest() override {
    app.reset();
    ::unsetenv("VELMO_LANG");
  }

  /// Builders answering from the test's fields.
  AppDelegate::Sources sources() {
    AppDelegate::Sources s;
    s.units = [this] {
      ++unitBuilds;
      return units;
    };
    s.chat = [this](const std::string& sid, const std::vector<std::string>& pending, int want) {
      ++chatBuilds;
      chatPending = pending;
      chatWant = want;
      auto it = chats.find(sid);
      return it == chats.end() ? std::optional<Panel::Chat>() : it->second;
    };
    s.alerts = [](const std::string&) { return nlohmann::json::array(); };
    s.spend = [] { return nlohmann::json{{"board", 1}}; };
    s.agents = [] {
      Panel::CrewRow row;
      row.id = "agent";
      return std::vector<Panel::CrewRow>{row};
    };
    s.terminals = [this] { return terminals; };
    s.reach = [this](double, const std::string&) { return reach; };
    s.smart = [this](const std::string& question) {
      asked.push_back(question);
      auto it = smartRows.find(question);
      return it == smartRows.end() ? std::optional<nlohmann::json>() : it->second;
    };
    s.search = [this](const std::string& query, const Terminals::Stop& stop) {
      searched.push_back({query, stop.stopped()});
      if (duringSearch) duringSearch(stop);
      return found ? found(query) : std::vector<nlohmann::json>{};
    };
    s.menuState = [] { return Menu::read(); };  // files of the test's home
    return s;
  }

  AppDelegate& make() {
    AppDelegate::Hosts h;
    h.page = &page;
    h.main = &main;
    h.dialogs = &dialogs;
    h.background = bg.poster();
    app = AppDelegate::make(h, sources());
    return *app;
  }

  /// Runs background and main jobs until both are idle.
  void settle() {
    for (int i = 0; i < 100 && (bg.runQueued() + main.runQueued()) > 0; ++i) {
    }
  }

  static Terminal terminal(const std::string& sid, const std::string& tty) {
    Terminal t;
    t.tty = tty;
    t.sessionID = sid;
    return t;
  }
  /// What was typed into terminals, as "tty:text" (key presses as "tty:keys").
  std::vector<std::string> typed() const {
    std::vector<std::string> out;
    for (const auto& c : host.typed())
      out.push_back(c.tty + ":" +
                    (c.kind == "line"    ? c.text
                     : c.kind == "paste" ? "paste " + c.text
                                         : "keys"));
    return out;
  }
  /// The terminals brought to the front.
  std::vector<std::string> raised() const {
    std::vector<std::string> out;
    for (const auto& c : host.calls())
      if (c.kind == "raise") out.push_back(c.tty);
    return out;
  }
  nlohmann::json message(const std::string& json) { return nlohmann::json::parse(json); }

  static Panel::Unit unit(const std::string& sid, const std::string& state = "run",
                          const std::string& tty = "") {
    Panel::Unit u;
    u.sid = sid;
    u.state = state;
    u.tty = tty.empty() ? "/dev/pts/" + sid : tty;
    return u;
  }
  /// A conversation's payload, told apart by its session id and title.
  static Panel::Chat chat(const std::string& sid, const std::string& title = "") {
    Panel::Chat c;
    c.sid = sid;
    c.title = title;
    return c;
  }
  /// The session ids of the rack as last painted.
  std::vector<std::string> rack() const {
    std::vector<std::string> out;
    nlohmann::json paint = page.lastPaint();
    for (const auto& u : paint["units"]) out.push_back(u["sid"]);
    return out;
  }

  FakeClock clock;
  std::unique_ptr<ScopedHome> home;
  RecordingPage page;
  RecordingDialogs dialogs;
  ScriptedHost host;
  ManualQueue main, bg;
  std::shared_ptr<AppDelegate> app;

  std::vector<Panel::Unit> units;
  std::map<std::string, Panel::Chat> chats;
  std::vector<Terminal> terminals;
  int unitBuilds = 0, chatBuilds = 0, chatWant = 0;
  /// Word search: conversations, files, titles.
  std::function<std::vector<nlohmann::json>(const std::string&)> found;
  /// Each word search as it began to run: its query, and whether it was already stopped.
  std::vector<std::pair<std::string, bool>> searched;
  /// Runs inside each word search (what the user does while it runs).
  std::function<void(const Terminals::Stop&)> duringSearch;
  int reach = 0;  ///< lines a search hit needs
  /// The meaning search's rows per question (none: it fails), and the questions asked.
  std::map<std::string, nlohmann::json> smartRows;
  std::vector<std::string> asked;
  nlohmann::json chatPending;
};
