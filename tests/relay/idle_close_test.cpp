#include "relay/idle_close.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "base/caches.h"
#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/scripted_host.h"
#include "support/terminal_rig.h"
#include "terminals/input_row.h"

namespace {

constexpr double kHour = 3600;

// A process standing in for an agent: it lives until the test ends it (as /exit would).
struct Child {
  pid_t pid = ::fork();
  Child() {
    if (pid == 0) {
      for (;;) ::pause();
    }
  }
  ~Child() { end(); }
  void end() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

// A task file as the agent's task tools write it (tests/fixtures/tasks/pending.json, from
// the real agent) with its status set.
std::string task(const std::string& id, const std::string& status) {
  auto json = nlohmann::json::parse(
      Files::read(std::string(VELMO_FIXTURES_DIR) + "/tasks/pending.json").value_or("{}"));
  json["id"] = id;
  json["status"] = status;
  return json.dump(2);
}

}  // namespace

class IdleCloseTest : public ::testing::Test {
 protected:
  ScopedHome home;
  FakeClock clock;
  ScriptedHost host;
  std::vector<std::unique_ptr<Child>> children;

  IdleCloseTest() { IdleClose::forget(); }
  ~IdleCloseTest() override { IdleClose::forget(); }

  // An agent in a terminal: its registry status since `idleFor` seconds ago, its
  // transcript last written then too, and an empty input box on its screen.
  Terminal agent(int n, const std::string& sid, double idleFor, const std::string& status = "idle",
                 const std::string& cwd = "/w/shop") {
    children.push_back(std::make_unique<Child>());
    Terminal t;
    t.tty = "/dev/pts/" + std::to_string(n);
    t.pid = children.back()->pid;
    t.sessionID = sid;
    t.status = status;
    t.waiting = false;
    double since = clock.now() - idleFor;
    home.write(".claude/sessions/" + std::to_string(t.pid) + ".json",
               nlohmann::json{{"pid", t.pid},
                              {"sessionId", sid},
                              {"status", status},
                              {"statusUpdatedAt", since * 1000},
                              {"updatedAt", 0}}
                   .dump());
    std::string transcript =
        home.write(".claude/projects/-w-shop/" + sid + ".jsonl",
                   nlohmann::json{{"type", "user"},
                                  {"sessionId", sid},
                                  {"cwd", cwd},
                                  {"timestamp", "2026-12-01T10:00:00Z"},
                                  {"message", {{"role", "user"}, {"content", "hello"}}}}
                           .dump() +
                       "\n");
    setModified(transcript, since);
    host.show(t.tty, Screens::idle());
    Caches::emptyAll();
    return t;
  }

  // /exit ends the agent: its process and its registry file go.
  void exitsOnExit(const Terminal& t) {
    host.onType([this, t](ScriptedHost&, const ScriptedHost::Call& call) {
      if (call.kind != "line" || call.text != "/exit" || call.tty != t.tty) return;
      for (auto& c : children)
        if (c->pid == t.pid) c->end();
      ::unlink(home.agent("sessions/" + std::to_string(t.pid) + ".json").c_str());
    });
  }

  std::vector<std::string> logLines() {
    auto text = Files::read(home.agent("velmo-hygiene.log"));
    std::vector<std::string> out;
    // Each line: the time stamp, a blank, the text.
    for (const auto& line : Text::split(text.value_or(""), '\n'))
      out.push_back(line.substr(line.find(' ') + 1));
    return out;
  }

  std::vector<std::string> kinds() {
    std::vector<std::string> out;
    for (const auto& c : host.calls())
      if (c.kind != "title") out.push_back(c.kind + " " + (c.text.empty() ? c.tty : c.text));
    return out;
  }
};

// ---- keep reasons ----

TEST_F(IdleCloseTest, OpenTasksCountOnlyUnfinishedTaskFiles) {
  const std::string sid = "aaaaaaaa-1111";
  home.write(".claude/tasks/" + sid + "/.lock", "");
  home.write(".claude/tasks/" + sid + "/.highwatermark", "4");
  home.write(".claude/tasks/" + sid + "/1.json", task("1", "pending"));
  home.write(".claude/tasks/" + sid + "/2.json", task("2", "in_progress"));
  home.write(".claude/tasks/" + sid + "/3.json", task("3", "completed"));
  home.write(".claude/tasks/" + sid + "/4.json", "{not json");
  home.write(".claude/tasks/" + sid + "/5.json.tmp", task("5", "pending"));
  EXPECT_EQ(IdleClose::openTasks(sid), 2);
  EXPECT_EQ(IdleClose::openTasks("no-such-session"), 0);
  EXPECT_EQ(IdleClose::openTasks("../" + sid), 0);
}

TEST_F(IdleCloseTest, TheCentralConsoleIsKnownWithADotOrDoubleBlanks) {
  EXPECT_TRUE(IdleClose::centralConsole("מסוף מרכזי"));
  EXPECT_TRUE(IdleClose::centralConsole("עבודה · מסוף·מרכזי"));
  EXPECT_TRUE(IdleClose::centralConsole("מסוף  המשך"));
  EXPECT_FALSE(IdleClose::centralConsole("מסוף"));
  EXPECT_FALSE(IdleClose::centralConsole("central console"));
}

TEST_F(IdleCloseTest, TheFirstReasonThatAppliesWins) {
  Terminal t = agent(3, "bbbbbbbb-2222", 30 * kHour);
  home.write(".claude/tasks/" + t.sessionID + "/1.json", task("1", "pending"));
  IdleClose::Stages stages{{t.sessionID, "ready"}};
  EXPECT_EQ(IdleClose::keepReason(t, {"x · מסוף·מרכזי"}, stages, false), "central console");
  t.waiting = true;
  EXPECT_EQ(IdleClose::keepReason(t, {}, stages, false), "a question is open");
  t.waiting = false;
  EXPECT_EQ(IdleClose::keepReason(t, {}, stages, true), "a question is open");
  EXPECT_EQ(IdleClose::keepReason(t, {}, stages, false), "hand-off in progress");
  for (const char* stage : {"asked", "go"})
    EXPECT_EQ(IdleClose::keepReason(t, {}, {{t.sessionID, stage}}, false), "hand-off in progress");
  // Stages past the hand-off, or before any, do not keep it.
  EXPECT_EQ(IdleClose::keepReason(t, {}, {{t.sessionID, "continued"}}, false), "1 open tasks");
  ::unlink(home.agent("tasks/" + t.sessionID + "/1.json").c_str());
  EXPECT_EQ(IdleClose::keepReason(t, {}, {{t.sessionID, "baseline"}}, false), std::nullopt);
}

TEST_F(IdleCloseTest, BackgroundAgentsRunUntilTheirCompletionReachesTheTranscript) {
  Terminal t = agent(4, "cccccccc-3333", 30 * kHour);
  const std::string sub = ".claude/projects/-w-shop/" + t.sessionID + "/subagents/";
  home.write(sub + "agent-a1.meta.json", R"({"agentType":"Explore","requestShape":"background"})");
  home.write(sub + "agent-a2.meta.json", R"({"agentType":"Explore","requestShape":"background"})");
  home.write(sub + "agent-a3.meta.json", R"({"agentType":"Explore","requestShape":"inline"})");
  EXPECT_EQ(Relay::agents(t.sessionID), 2);
  Files::append(
      home.agent("projects/-w-shop/" + t.sessionID + ".jsonl"),
      R"({"type":"user","message":{"content":"<task-notification><task-id>a1</task-id>"}})"
      "\n");
  EXPECT_EQ(Relay::agents(t.sessionID), 1);
  EXPECT_EQ(IdleClose::keepReason(t, {}, {}, false), "agents running");
}

// ---- the sweep ----

TEST_F(IdleCloseTest, TheFirstSweepOnlySaysWhatItWouldDoAndTheNextActs) {
  Terminal idle = agent(5, "dddddddd-4444", 25 * kHour);
  Terminal busy = agent(6, "eeeeeeee-5555", 25 * kHour);
  home.write(".claude/tasks/" + busy.sessionID + "/1.json", task("1", "in_progress"));
  home.write(".claude/velmo-names.json", R"({"dddddddd-4444":"Old notes"})");
  exitsOnExit(idle);

  IdleClose::sweep({idle, busy}, {});
  EXPECT_EQ(logLines(),
            (std::vector<std::string>{
                "IDLE-CLOSE dry-run would close /dev/pts/5 dddddddd Old notes — idle 25h",
                "IDLE-CLOSE keep /dev/pts/6 eeeeeeee  — 1 open tasks",
                "IDLE-CLOSE dry-run done — 1 would be closed; acting from the next sweep"}));
  EXPECT_TRUE(host.typed().empty());
  EXPECT_EQ(Settings::value("hygieneDryRunDone"), nlohmann::json(true));

  // Within ten minutes nothing runs again.
  clock.advance(600);
  EXPECT_FALSE(IdleClose::due());
  IdleClose::sweep({idle, busy}, {});
  EXPECT_EQ(logLines().size(), 3u);

  clock.advance(1);
  EXPECT_TRUE(IdleClose::due());
  IdleClose::sweep({idle, busy}, {});
  auto lines = logLines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], "IDLE-CLOSE closing /dev/pts/5 dddddddd Old notes — idle 25h");
  EXPECT_EQ(lines[4], "IDLE-CLOSE closed /dev/pts/5 dddddddd Old notes");
  EXPECT_EQ(lines[5], "IDLE-CLOSE keep /dev/pts/6 eeeeeeee  — 1 open tasks");
  // The pane's id is taken before /exit, and the window is closed by it, not by tty.
  EXPECT_EQ(kinds(), (std::vector<std::string>{"lastingId /dev/pts/5", "line /exit",
                                               "closeById pane:/dev/pts/5"}));
  auto day = Settings::value("hygieneDay");
  ASSERT_TRUE(day);
  EXPECT_EQ((*day)["closed"], nlohmann::json::array({"Old notes"}));
}

TEST_F(IdleCloseTest, IdleMeansADayOnTheRegistryAndInTheTranscript) {
  Settings::set("hygieneDryRunDone", false);
  Terminal short23 = agent(7, "ffffffff-0023", 23 * kHour);
  Terminal full24 = agent(8, "ffffffff-0024", 24 * kHour);
  Terminal shell = agent(9, "ffffffff-shel", 48 * kHour, "shell");
  Terminal written = agent(10, "ffffffff-writ", 48 * kHour);
  setModified(home.agent("projects/-w-shop/" + written.sessionID + ".jsonl"),
              clock.now() - 23 * kHour);
  Terminal windowless = agent(11, "ffffffff-bgjb", 48 * kHour);
  windowless.windowless = true;
  IdleClose::sweep({short23, full24, shell, written, windowless}, {});
  EXPECT_EQ(logLines(),
            (std::vector<std::string>{
                "IDLE-CLOSE dry-run would close /dev/pts/8 ffffffff  — idle 24h",
                "IDLE-CLOSE dry-run done — 1 would be closed; acting from the next sweep"}));
}

TEST_F(IdleCloseTest, APaneThatWentWithItsAgentIsClosedAndOneWithOtherTabsIsSaidSo) {
  Settings::set("hygieneDryRunDone", true);
  Terminal alone = agent(12, "11111111-aaaa", 30 * kHour);
  exitsOnExit(alone);
  host.setClosedAnswer(Terminals::TerminalHost::Closed::gone);
  IdleClose::sweep({alone}, {});
  EXPECT_EQ(logLines().back(), "IDLE-CLOSE closed /dev/pts/12 11111111 ");

  IdleClose::forget();
  Terminal shared = agent(13, "22222222-bbbb", 30 * kHour);
  exitsOnExit(shared);
  host.setClosedAnswer(Terminals::TerminalHost::Closed::kept);
  IdleClose::sweep({shared}, {});
  EXPECT_EQ(
      logLines().back(),
      "IDLE-CLOSE closed /dev/pts/13 22222222  (session exited; window kept — it has other tabs)");
}

TEST_F(IdleCloseTest, AnAgentThatStaysIsLeftOpenAndItsWindowUntouched) {
  Settings::set("hygieneDryRunDone", true);
  Terminal t = agent(14, "33333333-cccc", 30 * kHour);
  // The agent asks first when background work runs; the prompt replaces its input box.
  host.onType([&](ScriptedHost& h, const ScriptedHost::Call& call) {
    if (call.text == "/exit")
      h.show(t.tty, "Background work is running\n\n❯ 1. Exit anyway\n  2. Wait\n  3. Cancel\n");
  });
  IdleClose::sweep({t}, {});
  EXPECT_EQ(logLines().back(),
            "IDLE-CLOSE /dev/pts/14 33333333  did not exit — left open (background work is "
            "running; it asks before exiting)");
  for (const auto& c : host.calls()) EXPECT_NE(c.kind, "closeById");
  EXPECT_EQ(Settings::value("hygieneDay"), std::nullopt);
  // About twenty seconds of waiting, on the chores queue.
  EXPECT_GE(clock.totalSlept(), 20.0);
  EXPECT_LT(clock.totalSlept(), 23.0);
}

TEST_F(IdleCloseTest, ADraftInTheInputRowIsNeverTypedInto) {
  Settings::set("hygieneDryRunDone", true);
  Terminal t = agent(15, "44444444-dddd", 30 * kHour);
  host.show(t.tty, Text::join({"● Done.", Screens::border(), "❯\u00a0half a thought",
                               Screens::border(), "  ? for shortcuts"},
                              "\n"));
  IdleClose::sweep({t}, {});
  EXPECT_TRUE(host.typed().empty());
  EXPECT_EQ(logLines().back(), "IDLE-CLOSE /dev/pts/15 44444444  did not exit — left open (" +
                                   Terminals::unsentRefusal() + ")");
}

TEST_F(IdleCloseTest, TestModeLooksOnlyUnderItsFolderWithItsOwnAgeAndPace) {
  Settings::set("hygieneTestCwd", "/w/lab");
  Settings::set("hygieneTestAge", 10);
  EXPECT_TRUE(IdleClose::testMode());
  EXPECT_EQ(IdleClose::idleAge(), 30);
  Terminal inLab = agent(16, "55555555-lab1", 31, "idle", "/w/lab/one");
  Terminal young = agent(17, "55555555-lab2", 1, "idle", "/w/lab/two");
  Terminal outside = agent(18, "55555555-shop", 48 * kHour, "idle", "/w/shop");
  IdleClose::sweep({inLab, young, outside}, {});
  EXPECT_EQ(logLines(),
            (std::vector<std::string>{
                "IDLE-CLOSE dry-run would close /dev/pts/16 55555555  — idle 0h",
                "IDLE-CLOSE dry-run done — 1 would be closed; acting from the next sweep"}));
  clock.advance(20);
  IdleClose::sweep({inLab, young, outside}, {});
  EXPECT_EQ(logLines().size(), 2u);
  clock.advance(1);
  exitsOnExit(inLab);
  IdleClose::sweep({inLab, young, outside}, {});
  EXPECT_EQ(logLines().back(), "IDLE-CLOSE closed /dev/pts/16 55555555 ");

  // Without an age the folder alone is no test mode.
  Settings::set("hygieneTestAge", 0);
  EXPECT_FALSE(IdleClose::testMode());
  EXPECT_EQ(IdleClose::idleAge(), 86400);
}

TEST_F(IdleCloseTest, SwitchedOffItDoesNothing) {
  Settings::set("hygieneIdleClose", false);
  EXPECT_FALSE(IdleClose::due());
  Terminal t = agent(19, "66666666-eeee", 48 * kHour);
  IdleClose::sweep({t}, {});
  EXPECT_TRUE(logLines().empty());
  EXPECT_EQ(Settings::value("hygieneDryRunDone"), std::nullopt);
}

TEST_F(IdleCloseTest, ANewDayLogsTheOldTallyFirst) {
  Settings::set(
      "hygieneDay",
      {{"day", "2020-01-01"}, {"reset", {"a · cont."}}, {"closed", nlohmann::json::array()}});
  IdleClose::tallyClosed("Old notes");
  EXPECT_EQ(logLines(),
            (std::vector<std::string>{"DAILY 2020-01-01 Reset: 1 (a · cont.) · Closed: 0"}));
  IdleClose::tallyClosed("More notes");
  auto day = Settings::value("hygieneDay");
  EXPECT_EQ((*day)["closed"], nlohmann::json::array({"Old notes", "More notes"}));
  EXPECT_EQ((*day)["reset"], nlohmann::json::array());
  EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(IdleCloseTest, TheRelayStoreGivesTheStages) {
  home.write(
      ".claude/velmo-relay.json",
      R"({"s1":{"stage":"asked","file":"/h.md","cwd":"/w","name":"n","at":"2026-12-01T10:00:00Z"},"s2":{"file":""},"s3":7})");
  EXPECT_EQ(IdleClose::relayStages(), (IdleClose::Stages{{"s1", "asked"}}));
  home.write(".claude/velmo-relay.json", "{broken");
  EXPECT_TRUE(IdleClose::relayStages().empty());
}

TEST_F(IdleCloseTest, AnAgentThatEndsAfterTheWaitIsClosedByTheNextSweep) {
  Settings::set("hygieneDryRunDone", true);
  Terminal slow = agent(15, "44444444-dddd", 30 * kHour);
  // It takes /exit (its registry entry goes) but is still running when the wait is over.
  host.onType([&](ScriptedHost&, const ScriptedHost::Call& call) {
    if (call.text == "/exit")
      ::unlink(home.agent("sessions/" + std::to_string(slow.pid) + ".json").c_str());
  });
  host.setClosedAnswer(Terminals::TerminalHost::Closed::gone);
  IdleClose::sweep({slow}, {});
  EXPECT_EQ(logLines().back(),
            "IDLE-CLOSE /dev/pts/15 44444444  still ending — closed once it has");
  for (const auto& c : host.calls()) EXPECT_NE(c.kind, "closeById");

  // Still running at the next sweep: nothing yet. Ended by the one after: closed and counted.
  clock.advance(601);  // the next sweep is due
  IdleClose::sweep({}, {});
  EXPECT_EQ(logLines().back(),
            "IDLE-CLOSE /dev/pts/15 44444444  still ending — closed once it has");
  for (auto& c : children)
    if (c->pid == slow.pid) c->end();
  clock.advance(601);  // the next sweep is due
  IdleClose::sweep({}, {});
  EXPECT_EQ(logLines().back(), "IDLE-CLOSE closed /dev/pts/15 44444444 ");
}

TEST_F(IdleCloseTest, APaneIsClosedOnlyWhileItHoldsWhatWasAskedToLeave) {
  Settings::set("hygieneDryRunDone", true);
  // The agent ran under a shell; once it ended, the user started something else there.
  Terminal t = agent(16, "55555555-eeee", 30 * kHour);
  exitsOnExit(t);
  host.setOccupant(Terminals::TerminalHost::Occupant{4001, 4002});
  IdleClose::sweep({t}, {});
  EXPECT_EQ(logLines().back(),
            "IDLE-CLOSE /dev/pts/16 55555555  kept — its pane now runs something else");
  for (const auto& c : host.calls()) EXPECT_NE(c.kind, "closeById");
  EXPECT_EQ(Settings::value("hygieneDay"), std::nullopt);

  // Its shell back in the foreground with nothing new: closed.
  IdleClose::forget();
  Terminal u = agent(17, "66666666-ffff", 30 * kHour);
  exitsOnExit(u);
  host.setOccupant(Terminals::TerminalHost::Occupant{4001, 4001});
  IdleClose::sweep({u}, {});
  EXPECT_EQ(logLines().back(), "IDLE-CLOSE closed /dev/pts/17 66666666 ");

  // A host that cannot tell what runs in the pane closes nothing.
  IdleClose::forget();
  Terminal v = agent(18, "77777777-aaaa", 30 * kHour);
  exitsOnExit(v);
  host.setOccupant(Terminals::TerminalHost::Occupant{});
  IdleClose::sweep({v}, {});
  EXPECT_EQ(logLines().back(),
            "IDLE-CLOSE /dev/pts/18 77777777  kept — what runs in its pane cannot be told");
}
