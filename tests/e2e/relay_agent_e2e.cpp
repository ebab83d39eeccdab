// The hand-off with the real agent: Velmo in browser mode watches an agent whose prompt is
// past the threshold, asks it for a hand-off (the scripted model writes the file), and
// continues the work in a fresh conversation: /clear, the new session id, the new name and
// the continuation prompt, seen from the model's side and on the page's rack row.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>

#include "base/files.h"
#include "base/text.h"
#include "e2e/page_bridge.h"
#include "e2e/velmo_run.h"
#include "sessions/state.h"
#include "support/agent_lab.h"
#include "support/home.h"
#include "support/tmux_lab.h"

namespace {

using nlohmann::json;

// The scripted model reports 10,900 prompt tokens a turn: past 75% of 12,000.
constexpr int kWindow = 12000;

json readJson(const std::string& path) {
  return json::parse(Files::read(path).value_or(""), nullptr, false);
}

class RelayWithAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    if (AgentLab::agentBinary().empty()) GTEST_SKIP() << AgentLab::whyNoAgent();
    tmux = std::make_unique<PrivateTmux>();
    lab = std::make_unique<AgentLab>(*tmux, home.path());
    ASSERT_TRUE(lab->ready());
  }
  void TearDown() override {
    page.reset();
    velmo.reset();
    lab.reset();
    tmux.reset();
  }

  void settings(const json& values) { home.write(".config/velmo/settings.json", values.dump()); }

  /// An agent that has answered one prompt, so its context is counted; its session id.
  std::string agentPastThreshold() {
    pane = lab->start("relay", home.path() + "/work",
                      {"--permission-mode", "acceptEdits", "--add-dir",
                       home.path() + "/Documents/claude/handoffs"});
    EXPECT_FALSE(pane.empty());
    EXPECT_TRUE(lab->waitForInput(pane, 90)) << lab->screen(pane);
    pid = tmux->panePid(pane);
    lab->type(pane, "Build the login page");
    std::string sid;
    waitFor(
        [&] {
          sid = registry().value("sessionId", "");
          return !sid.empty() && Text::contains(lab->apiLog(), "Build the login page") &&
                 registry().value("status", "") == "idle";
        },
        60, 0.3);
    return sid;
  }

  json registry() {
    json doc = readJson(home.agent("sessions/" + std::to_string(pid) + ".json"));
    return doc.is_object() ? doc : json::object();
  }

  json record(const std::string& sid) {
    json store = readJson(home.agent("velmo-relay.json"));
    return store.is_object() && store.contains(sid) ? store[sid] : json::object();
  }

  std::map<std::string, std::string> environment() {
    return {{"HOME", home.path()},
            {"VELMO_LANG", "en"},
            {"XDG_CONFIG_HOME", ""},
            {"CLAUDE_CONFIG_DIR", ""},
            {"DISPLAY", ""}};
  }

  /// Lines of a session's transcript written for the user that hold `text`.
  int userLinesWith(const std::string& sid, const std::string& text) {
    int n = 0;
    auto path = Sessions::transcriptURL(sid);
    for (const auto& line : Text::split(Files::read(path.value_or("")).value_or(""), '\n'))
      if (Text::contains(line, "\"type\":\"user\"") && Text::contains(line, text) &&
          !Text::contains(line, "tool_use_id"))
        ++n;
    return n;
  }

  void serve() {
    velmo = std::make_unique<VelmoRun>(
        VELMO_BINARY, std::vector<std::string>{"--serve", "--no-open"}, environment());
    auto url = velmo->line(20);
    ASSERT_TRUE(url.has_value());
    std::smatch m;
    static const std::regex shape(R"(^http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{64})$)");
    ASSERT_TRUE(std::regex_match(*url, m, shape)) << *url;
    std::string origin = "http://127.0.0.1:" + m[1].str();
    page = std::make_unique<Bridge>("ws://127.0.0.1:" + m[1].str() + "/bridge?token=" + m[2].str(),
                                    origin);
    ASSERT_TRUE(page->conn);
  }

  /// Serves the page until the record of `sid` reaches `stage`, noting the row labels seen.
  bool until(const std::string& sid, const std::string& stage, double seconds) {
    return waitFor(
        [&] {
          for (auto paint = page->take("paint", 0.2); !paint.is_null();
               paint = page->take("paint", 0.05)) {
            for (const auto& u : paint["args"][0].value("units", json::array()))
              if (u.value("tty", "") == tty() && !u.value("chain", "").empty())
                chains.insert(u.value("chain", ""));
          }
          return record(sid).value("stage", "") == stage;
        },
        seconds, 0.0);
  }

  std::string tty() { return tmux->paneTty(pane); }

  ScopedHome home;
  std::unique_ptr<PrivateTmux> tmux;
  std::unique_ptr<AgentLab> lab;
  std::unique_ptr<VelmoRun> velmo;
  std::unique_ptr<Bridge> page;
  std::string pane;
  int64_t pid = 0;
  std::set<std::string> chains;
};

}  // namespace

TEST_F(RelayWithAgent, TheFirstTickOnlyRecordsABaseline) {
  settings({{"relayWindow", kWindow}});
  std::string sid = agentPastThreshold();
  ASSERT_FALSE(sid.empty()) << lab->screen(pane);
  serve();
  ASSERT_TRUE(until(sid, "baseline", 30));
  json settingsNow = readJson(home.path() + "/.config/velmo/settings.json");
  EXPECT_EQ(settingsNow.value("relayPrimed", false), true);
  EXPECT_FALSE(Text::contains(lab->apiLog(), "Write your hand-off now"));
}

TEST_F(RelayWithAgent, AskedThenReadyThenContinuedByItself) {
  settings({{"relayWindow", kWindow}, {"relayPrimed", true}});
  std::string sid = agentPastThreshold();
  ASSERT_FALSE(sid.empty()) << lab->screen(pane);
  serve();
  // A second Velmo on the same home only watches: the request and the continuation prompt
  // are each typed once.
  VelmoRun watcher(VELMO_BINARY, {"--serve", "--no-open"}, environment());
  ASSERT_TRUE(watcher.line(60));

  // Calm means idle for more than 45 seconds.
  ASSERT_TRUE(until(sid, "asked", 120)) << lab->screen(pane);
  std::string file = record(sid).value("file", "");
  EXPECT_TRUE(Text::contains(lab->apiLog(), "Write your hand-off now to " + file));
  ASSERT_TRUE(until(sid, "ready", 90)) << lab->screen(pane);
  EXPECT_GE(Files::attributes(file)->size, 301);

  ASSERT_TRUE(until(sid, "continued", 180)) << lab->screen(pane);
  json r = record(sid);
  std::string next = registry().value("sessionId", "");
  EXPECT_NE(next, sid);
  EXPECT_EQ(r.value("next", ""), next);
  EXPECT_EQ(r.value("auto", false), true);
  // The API saw the continuation prompt, naming the hand-off file.
  ASSERT_TRUE(waitFor(
      [&] { return Text::contains(lab->apiLog(), "Continue the work of conversation " + sid); },
      60));
  EXPECT_TRUE(Text::contains(lab->apiLog(), "Read the hand-off first: " + file));
  EXPECT_TRUE(Text::endsWith(registry().value("name", ""), " · cont.")) << registry().dump();
  EXPECT_EQ(userLinesWith(sid, "Write your hand-off now"), 1);
  EXPECT_EQ(userLinesWith(next, "Continue the work of conversation " + sid), 1);
  std::string log = Files::read(home.agent("velmo-hygiene.log")).value_or("");
  EXPECT_TRUE(Text::contains(log, "AUTO-CONTINUE " + tty() + " " + sid.substr(0, 8) + " "));
  EXPECT_TRUE(Text::contains(log, "AUTO-CONTINUE done " + tty() + " → " + next.substr(0, 8)));

  // The rack row said each stage; the continued conversation's row says how it came.
  until(sid, "never", 6);
  EXPECT_TRUE(chains.count("writing a hand-off"));
  EXPECT_TRUE(chains.count("hand-off ready"));
  EXPECT_TRUE(chains.count("continued automatically"));
}

TEST_F(RelayWithAgent, WithoutAutoContinueTheClickOnThePageContinues) {
  settings({{"relayWindow", kWindow}, {"relayPrimed", true}, {"relayAutoContinue", false}});
  std::string sid = agentPastThreshold();
  ASSERT_FALSE(sid.empty()) << lab->screen(pane);
  serve();
  ASSERT_TRUE(until(sid, "ready", 180)) << lab->screen(pane);
  // Calm and ready, it stays ready.
  EXPECT_FALSE(until(sid, "go", 60));
  EXPECT_EQ(registry().value("sessionId", ""), sid);

  page->send({{"act", "relayGo"}, {"sid", sid}});
  ASSERT_TRUE(until(sid, "continued", 60)) << lab->screen(pane);
  EXPECT_NE(registry().value("sessionId", ""), sid);
  EXPECT_TRUE(waitFor(
      [&] { return Text::contains(lab->apiLog(), "Continue the work of conversation " + sid); },
      60));
  EXPECT_FALSE(record(sid).contains("auto"));
}
