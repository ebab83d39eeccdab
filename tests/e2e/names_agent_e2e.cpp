// Renames end to end: the real velmo in browser mode takes "rename" from the page, and the
// real agent in a private tmux server takes the name, live through its own /rename, or on
// resume from the records written into a closed session's transcript.

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "base/caches.h"
#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "e2e/page_bridge.h"
#include "e2e/velmo_run.h"
#include "search/titles.h"
#include "sessions/state.h"
#include "support/agent_lab.h"
#include "support/home.h"
#include "support/tmux_lab.h"

namespace {

const std::string kVelmoQ = Text::replaceAll(VELMO_BINARY, "/velmo", "/velmo-q");
// Quotes and Hebrew: the agent escapes the quotes in its transcript.
const std::string kName = "מסוף \"מרכזי\" 2";

class NamesWithAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    if (AgentLab::agentBinary().empty()) GTEST_SKIP() << AgentLab::whyNoAgent();
    home = std::make_unique<ScopedHome>();
    tmux = std::make_unique<PrivateTmux>();
    lab = std::make_unique<AgentLab>(*tmux, home->path());
    ASSERT_TRUE(lab->ready());
    velmo =
        std::make_unique<VelmoRun>(VELMO_BINARY, std::vector<std::string>{"--serve", "--no-open"},
                                   servedBeside(home->path(), tmux->dir()));
    auto line = velmo->line(30);
    ASSERT_TRUE(line) << "velmo --serve printed no address";
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(*line, m, std::regex(R"(^http://127\.0\.0\.1:(\d+)/\?token=(\w+))")));
    page = std::make_unique<Bridge>("ws://127.0.0.1:" + m[1].str() + "/bridge?token=" + m[2].str(),
                                    "http://127.0.0.1:" + m[1].str());
    ASSERT_TRUE(page->conn);
    ASSERT_FALSE(page->next("paint", 20).is_null()) << "no first paint";
  }

  void TearDown() override {
    page.reset();
    velmo.reset();
    lab.reset();
    tmux.reset();
    home.reset();
    Caches::emptyAll();
  }

  /// Waits while the page stand-in keeps taking the application's calls.
  bool until(const std::function<bool()>& check, double seconds) {
    gint64 next = 0;
    return page->spin(
        [&] {
          if (g_get_monotonic_time() < next) return false;
          next = g_get_monotonic_time() + 250'000;  // files are read four times a second
          return check();
        },
        seconds);
  }

  nlohmann::json registry(int64_t pid) {
    auto text = Files::read(home->agent("sessions/" + std::to_string(pid) + ".json"));
    auto json = nlohmann::json::parse(text.value_or(""), nullptr, false);
    return json.is_object() ? json : nlohmann::json::object();
  }

  /// Starts the agent in work-NAME and has one exchange with it, so its transcript exists;
  /// the pane, the agent's pid and its session id.
  struct Agent {
    std::string pane;
    int64_t pid = 0;
    std::string sid;
  };
  Agent startTalking(const std::string& name, const std::vector<std::string>& args = {}) {
    Agent a;
    a.pane = lab->start(name, home->path() + "/work-" + name, args);
    EXPECT_TRUE(lab->waitForInput(a.pane, 90)) << lab->screen(a.pane);
    a.pid = tmux->panePid(a.pane);
    std::string prompt = "hello from " + name;
    lab->type(a.pane, prompt);
    for (int i = 0; i < 3 && !until([&] { return Text::contains(lab->apiLog(), prompt); }, 8); ++i)
      tmux->run({"send-keys", "-t", a.pane, "Enter"});
    until(
        [&] {
          auto r = registry(a.pid);
          a.sid = r.value("sessionId", "");
          return r.value("status", "") == "idle" && !a.sid.empty() &&
                 Sessions::transcriptURL(a.sid).has_value();
        },
        60);
    return a;
  }

  std::vector<nlohmann::json> records(const std::string& sid) {
    std::vector<nlohmann::json> out;
    auto path = Sessions::transcriptURL(sid);
    for (const auto& line : Text::split(Files::read(path.value_or("")).value_or(""), '\n'))
      out.push_back(nlohmann::json::parse(line, nullptr, false));
    return out;
  }

  int titleRecords(const std::string& sid, const std::string& name) {
    int n = 0;
    for (const auto& r : records(sid))
      if (r.is_object() && r.value("type", "") == "custom-title" &&
          r.value("customTitle", "") == name)
        ++n;
    return n;
  }

  std::unique_ptr<ScopedHome> home;
  std::unique_ptr<PrivateTmux> tmux;
  std::unique_ptr<AgentLab> lab;
  std::unique_ptr<VelmoRun> velmo;
  std::unique_ptr<Bridge> page;
};

}  // namespace

TEST_F(NamesWithAgent, ARenameFromThePageIsTypedOnceAndShowsEverywhere) {
  Agent a = startTalking("live");
  ASSERT_FALSE(a.sid.empty()) << lab->screen(a.pane);

  // A person renames a row the rack shows: wait for Velmo to paint this conversation.
  ASSERT_TRUE(until(
      [&] {
        auto paint = page->next("paint", 2);
        if (paint.is_null()) return false;
        for (const auto& u : paint["args"][0].value("units", nlohmann::json::array()))
          if (u.value("sid", "") == a.sid) return true;
        return false;
      },
      30));
  page->send({{"act", "rename"}, {"sid", a.sid}, {"name", "  " + kName + "\n"}, {"real", true}});
  EXPECT_TRUE(until([&] { return registry(a.pid).value("name", "") == kName; }, 60))
      << registry(a.pid).dump() << lab->screen(a.pane);
  EXPECT_TRUE(until(
      [&] { return Files::read(home->agent("velmo-renames.json")).value_or("") == "{}\n"; }, 20))
      << Files::read(home->agent("velmo-renames.json")).value_or("(none)");
  // Several scans later the command has not been typed again.
  until([] { return false; }, 6);
  EXPECT_EQ(titleRecords(a.sid, kName), 1) << lab->screen(a.pane);

  // The rack, the list, the state file and the control socket show the user's name.
  EXPECT_TRUE(until(
      [&] {
        auto paint = page->next("paint", 2);
        if (paint.is_null()) return false;
        for (const auto& u : paint["args"][0].value("units", nlohmann::json::array()))
          if (u.value("sid", "") == a.sid && u.value("title", "") == kName) return true;
        return false;
      },
      30));
  auto list = velmoList(home->path(), tmux->dir());
  ASSERT_TRUE(list);
  bool listed = false;
  for (const auto& t : (*list)["terminals"])
    listed |= t.value("sessionID", "") == a.sid && t.value("name", "") == kName;
  EXPECT_TRUE(listed) << list->dump();
  EXPECT_TRUE(until(
      [&] {
        auto state = nlohmann::json::parse(
            Files::read(home->agent("velmo-state/sessions.json")).value_or(""), nullptr, false);
        if (!state.is_object()) return false;
        for (const auto& s : state.value("sessions", nlohmann::json::array()))
          if (s.value("sessionId", "") == a.sid) return s.value("name", "") == kName;
        return false;
      },
      20))
      << Files::read(home->agent("velmo-state/sessions.json")).value_or("(none)");
  VelmoRun q(kVelmoQ, {"state"},
             {{"HOME", home->path()}, {"VELMO_LANG", "en"}, {"CLAUDE_CONFIG_DIR", ""}});
  auto state = nlohmann::json::parse(q.rest(30), nullptr, false);
  bool stated = false;
  for (const auto& s : state.value("sessions", nlohmann::json::array()))
    stated |= s.value("sessionId", "") == a.sid && s.value("name", "") == kName;
  EXPECT_TRUE(stated) << state.dump();

  // What the agent wrote comes back whole from its transcript, not from the user's store.
  std::rename(home->agent("velmo-names.json").c_str(), home->agent("velmo-names.old").c_str());
  Caches::emptyAll();
  EXPECT_EQ(Titles::of(a.sid), kName);
}

TEST_F(NamesWithAgent, AClosedSessionTakesTheNameOnResume) {
  Agent a = startTalking("closed");
  ASSERT_FALSE(a.sid.empty()) << lab->screen(a.pane);
  lab->type(a.pane, "/exit");
  ASSERT_TRUE(until(
      [&] { return !Files::exists(home->agent("sessions/" + std::to_string(a.pid) + ".json")); },
      30))
      << lab->screen(a.pane);
  // The agent removes its registry file first and writes its last records after: the
  // session is closed once its process has ended.
  ASSERT_TRUE(until([&] { return !Terminals::running(a.pid); }, 60)) << lab->screen(a.pane);
  std::string path = *Sessions::transcriptURL(a.sid);
  auto before = Files::read(path)->size();

  page->send({{"act", "rename"}, {"sid", a.sid}, {"name", kName}, {"real", true}});
  ASSERT_TRUE(until([&] { return titleRecords(a.sid, kName) == 1; }, 20));
  std::string added = Files::read(path)->substr(before);
  auto lines = Text::split(added, '\n');
  ASSERT_EQ(lines.size(), 2u) << added;
  EXPECT_EQ(nlohmann::json::parse(lines[1])["type"], "agent-name");
  EXPECT_TRUE(Text::endsWith(added, "\n"));

  // A session with no transcript is named in Velmo only: nothing is created.
  page->send({{"act", "rename"},
              {"sid", "00000000-0000-0000-0000-000000000000"},
              {"name", "x"},
              {"real", true}});
  until([] { return false; }, 3);
  EXPECT_FALSE(Sessions::transcriptURL("00000000-0000-0000-0000-000000000000"));

  // The agent takes its name back from the records on resume.
  std::string pane = lab->start("resumed", home->path() + "/work-closed", {"--resume", a.sid});
  int64_t pid = tmux->panePid(pane);
  EXPECT_TRUE(until([&] { return registry(pid).value("name", "") == kName; }, 90))
      << registry(pid).dump() << lab->screen(pane);
}
