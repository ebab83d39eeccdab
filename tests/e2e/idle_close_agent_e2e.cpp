// Closing idle terminals with the real agent, in test mode (a lab folder and an idle age of
// 30 s): `velmo --serve` sweeps with its scans, first only saying what it would do, then
// closing the idle agent and keeping the ones that still matter, each with its reason.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "e2e/velmo_run.h"
#include "support/agent_lab.h"
#include "support/home.h"
#include "support/tmux_lab.h"

namespace {

struct LabAgent {
  std::string pane, tty, sid;
  int64_t pid = 0;
};

// The task tools are offered only with this set; panes take the tmux server's environment,
// so it is set before the server starts and put back after.
struct TaskTools {
  TaskTools() { ::setenv("CLAUDE_CODE_ENABLE_TODO_TOOLS", "true", 1); }
  ~TaskTools() { ::unsetenv("CLAUDE_CODE_ENABLE_TODO_TOOLS"); }
};

nlohmann::json registry(const ScopedHome& home, int64_t pid) {
  return nlohmann::json::parse(
      Files::read(home.agent("sessions/" + std::to_string(pid) + ".json")).value_or("{}"), nullptr,
      false);
}

std::string status(const ScopedHome& home, int64_t pid) {
  auto r = registry(home, pid);
  return r.is_object() ? r.value("status", "") : "";
}

std::vector<std::string> sweepLines(const ScopedHome& home) {
  std::vector<std::string> out;
  for (const auto& line :
       Text::split(Files::read(home.agent("velmo-hygiene.log")).value_or(""), '\n'))
    out.push_back(line.substr(line.find(' ') + 1));
  return out;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& start,
             const std::string& end = "") {
  for (const auto& l : lines)
    if (Text::startsWith(l, start) && Text::endsWith(l, end)) return true;
  return false;
}

}  // namespace

TEST(IdleCloseWithAgent, DryRunThenClosesTheIdleOneAndKeepsTheRestWithTheirReasons) {
  if (AgentLab::agentBinary().empty()) GTEST_SKIP() << AgentLab::whyNoAgent();
  ScopedHome home;
  TaskTools tasks;
  PrivateTmux tmux;
  AgentLab lab(tmux, home.path());
  ASSERT_TRUE(lab.ready());
  const std::string labDir = home.path() + "/lab";

  std::map<std::string, LabAgent> a;
  const std::vector<std::string> names = {"idle", "console", "question", "task", "handoff"};
  std::vector<std::string> folders;
  for (const auto& name : names) folders.push_back(labDir + "/" + name);
  lab.trustAlso(folders);
  for (const auto& name : names) {
    LabAgent agent;
    agent.pane = lab.start(name, labDir + "/" + name);
    ASSERT_FALSE(agent.pane.empty()) << name;
    agent.tty = tmux.paneTty(agent.pane);
    agent.pid = tmux.panePid(agent.pane);
    a[name] = agent;
  }
  const std::map<std::string, std::string> prompt = {{"idle", "Hello there"},
                                                     {"console", "Hello console"},
                                                     {"question", "Please ASKME"},
                                                     {"task", "Please ADDTASK"},
                                                     {"handoff", "Hello hand-off"}};
  for (auto& [name, agent] : a) {
    ASSERT_TRUE(lab.waitForInput(agent.pane, 90)) << name << "\n" << lab.screen(agent.pane);
    lab.type(agent.pane, prompt.at(name));
  }
  // The central console is named with the agent's own /rename once it has answered.
  ASSERT_TRUE(waitFor([&] { return status(home, a["console"].pid) == "idle"; }, 60));
  ASSERT_TRUE(lab.waitForInput(a["console"].pane, 30));
  lab.type(a["console"].pane, "/rename מסוף מרכזי");
  ASSERT_TRUE(waitFor(
      [&] { return registry(home, a["console"].pid).value("name", "") == "מסוף מרכזי"; }, 30));

  // The registry says "idle" before the first prompt is taken too: the replies are waited for.
  for (const char* name : {"idle", "console", "handoff"})
    ASSERT_TRUE(waitFor([&] { return Text::contains(lab.screen(a[name].pane), "Sure. "); }, 60))
        << name << "\n"
        << lab.screen(a[name].pane);
  for (auto& [name, agent] : a) {
    std::string want = name == "question" ? "waiting" : "idle";
    ASSERT_TRUE(waitFor([&] { return status(home, agent.pid) == want; }, 60))
        << name << " " << status(home, agent.pid) << "\n"
        << lab.screen(agent.pane);
    agent.sid = registry(home, agent.pid).value("sessionId", "");
    ASSERT_FALSE(agent.sid.empty()) << name;
  }
  // Written by the agent's tool call, which may still be on its way.
  ASSERT_TRUE(waitFor(
      [&] { return Files::exists(home.agent("tasks/" + a["task"].sid + "/1.json")); }, 60))
      << lab.screen(a["task"].pane);
  // A hand-off asked for and not yet written, as the relay records it.
  Files::writeAtomic(home.agent("velmo-relay.json"),
                     nlohmann::json{{a["handoff"].sid,
                                     {{"stage", "asked"},
                                      {"file", home.path() + "/Documents/claude/handoffs/h.md"},
                                      {"cwd", labDir + "/handoff"},
                                      {"name", "hand-off"},
                                      {"at", TimeText::iso8601(Clock::now())},
                                      {"pct", 80}}}}
                         .dump(2));
  Files::makeDirectories(home.path() + "/.config/velmo");
  Files::writeAtomic(home.path() + "/.config/velmo/settings.json",
                     nlohmann::json{{"hygieneTestCwd", labDir}, {"hygieneTestAge", 30}}.dump());

  // Every agent (and its transcript) quiet for the idle age before Velmo first looks.
  double quiet = 0;
  for (auto& [name, agent] : a) {
    auto r = registry(home, agent.pid);
    quiet = std::max(quiet, r.value("statusUpdatedAt", 0.0) / 1000);
  }
  ::sleep(static_cast<unsigned>(std::max(0.0, quiet + 32 - Clock::now())));

  VelmoRun velmo(VELMO_BINARY, {"--serve", "--no-open"},
                 {{"HOME", home.path()},
                  {"VELMO_LANG", "en"},
                  {"XDG_CONFIG_HOME", ""},
                  {"CLAUDE_CONFIG_DIR", ""}});
  ASSERT_TRUE(velmo.line(60));
  ASSERT_TRUE(waitFor([&] { return hasLine(sweepLines(home), "IDLE-CLOSE dry-run done"); }, 30));
  auto lines = sweepLines(home);
  const auto label = [&](const std::string& name) {
    return a[name].tty + " " + a[name].sid.substr(0, 8);
  };
  EXPECT_TRUE(hasLine(lines, "IDLE-CLOSE dry-run would close " + label("idle") + " ", " — idle 0h"))
      << Text::join(lines, "\n");
  EXPECT_TRUE(
      hasLine(lines, "IDLE-CLOSE keep " + label("console") + " מסוף מרכזי — central console"));
  EXPECT_TRUE(hasLine(lines, "IDLE-CLOSE keep " + label("task") + " ", " — 1 open tasks"));
  EXPECT_TRUE(
      hasLine(lines, "IDLE-CLOSE keep " + label("handoff") + " ", " — hand-off in progress"));
  EXPECT_EQ(lines.back(),
            "IDLE-CLOSE dry-run done — 1 would be closed; acting from the next sweep");
  // The agent asking a question reports "waiting", so it is not idle at all.
  for (const auto& l : lines) EXPECT_FALSE(Text::contains(l, label("question"))) << l;
  EXPECT_TRUE(Terminals::running(a["idle"].pid)) << "the dry run closed nothing";

  // After /exit the agent can leave its terminal at once and still run for a minute or more
  // (its screen gone, its process there); a later sweep closes it once it has ended.
  ASSERT_TRUE(waitFor(
      [&] { return hasLine(sweepLines(home), "IDLE-CLOSE closed " + label("idle")); }, 240))
      << Text::join(sweepLines(home), "\n") << "\n"
      << lab.screen(a["idle"].pane) << "\n"
      << Files::read(home.agent("velmo-hygiene.log")).value_or("") << "\n"
      << Files::read(home.agent("velmo-relay.json")).value_or("") << "\n"
      << Files::read("/proc/" + std::to_string(a["idle"].pid) + "/stat", 65536).value_or("gone");
  EXPECT_TRUE(hasLine(sweepLines(home), "IDLE-CLOSE closing " + label("idle") + " ", " — idle 0h"));
  // The agent was the pane's own command: the pane went with it, and "closed" says so plainly.
  for (const auto& l : sweepLines(home))
    if (Text::startsWith(l, "IDLE-CLOSE closed " + label("idle")))
      EXPECT_FALSE(Text::contains(l, "window kept")) << l;
  // (tmux answers a display for a pane that has gone with nothing, not an error.)
  auto panes = Text::split(tmux.run({"list-panes", "-a", "-F", "#{pane_id}"}).value_or(""), '\n');
  EXPECT_EQ(std::count(panes.begin(), panes.end(), a["idle"].pane), 0);
  EXPECT_EQ(std::count(panes.begin(), panes.end(), a["console"].pane), 1);
  EXPECT_FALSE(Terminals::running(a["idle"].pid));
  for (const char* kept : {"console", "question", "task", "handoff"})
    EXPECT_EQ(::kill(static_cast<pid_t>(a[kept].pid), 0), 0) << kept;
  auto listed = velmoList(home.path(), tmux.dir());
  ASSERT_TRUE(listed);
  for (const auto& t : listed->at("terminals")) EXPECT_NE(t.at("pid"), a["idle"].pid);
  velmo.stop();
}
