// velmo --list against a private tmux server whose panes run a stand-in agent.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "support/home.h"
#include "support/agent_lab.h"
#include "support/tmux_lab.h"

namespace {

// Other programs on this machine may run agents too: keep only the test's own panes.
std::vector<nlohmann::json> ours(const nlohmann::json& list, const std::vector<int64_t>& pids) {
  std::vector<nlohmann::json> out;
  for (const auto& t : list.at("terminals")) {
    for (int64_t pid : pids) {
      if (t.at("pid") == pid) out.push_back(t);
    }
  }
  return out;
}

}  // namespace

TEST(DiscoveryE2E, ListsAgentPanesWithSessionsAndTitlesSortedBySlot) {
  ScopedHome home;
  PrivateTmux tmux;
  std::string claude = standInAgent(tmux.dir());
  ASSERT_FALSE(claude.empty());
  std::string a = tmux.openPane({claude, "100000"});
  std::string b = tmux.openPane({claude, "100001"});
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  int64_t pidA = tmux.panePid(a);
  int64_t pidB = tmux.panePid(b);
  std::string ttyA = tmux.paneTty(a);
  std::string ttyB = tmux.paneTty(b);
  ASSERT_GT(pidA, 0);
  ASSERT_GT(pidB, 0);

  home.write(".claude/sessions/" + std::to_string(pidA) + ".json",
             nlohmann::json{{"sessionId", "sess-a"}, {"pid", pidA}, {"status", "idle"},
                            {"name", "alpha"}}.dump());
  home.write(".claude/sessions/" + std::to_string(pidB) + ".json",
             nlohmann::json{{"sessionId", "sess-b"}, {"pid", pidB}, {"status", "waiting"},
                            {"name", "beta"}}.dump());
  ASSERT_TRUE(tmux.run({"select-pane", "-t", a, "-T", "✳ Fix login — claude"}));
  ASSERT_TRUE(tmux.run({"select-pane", "-t", b, "-T", "Refactor parser"}));

  std::vector<nlohmann::json> found;
  double deadline = Clock::monotonic() + 60;
  while (Clock::monotonic() < deadline) {
    if (auto list = velmoList(home.path(), tmux.dir())) {
      found = ours(*list, {pidA, pidB});
      if (found.size() == 2) break;
    }
    Clock::sleep(0.1);
  }
  ASSERT_EQ(found.size(), 2u) << "velmo --list never showed both agents";

  // Sorted by slot: the pane with the lower pts number first.
  auto number = [](const std::string& tty) { return std::stoi(tty.substr(tty.rfind('/') + 1)); };
  bool aFirst = number(ttyA) < number(ttyB);
  const auto& first = found[aFirst ? 0 : 1];
  const auto& second = found[aFirst ? 1 : 0];
  EXPECT_LT(found[0].at("slot").get<std::string>(), found[1].at("slot").get<std::string>());

  EXPECT_EQ(first.at("pid"), pidA);
  EXPECT_EQ(first.at("tty"), ttyA);
  EXPECT_EQ(first.at("sessionID"), "sess-a");
  EXPECT_EQ(first.at("windowTitle"), "Fix login");
  EXPECT_EQ(first.at("waiting"), false);
  EXPECT_EQ(first.at("recordName"), "alpha");
  EXPECT_EQ(second.at("pid"), pidB);
  EXPECT_EQ(second.at("tty"), ttyB);
  EXPECT_EQ(second.at("sessionID"), "sess-b");
  EXPECT_EQ(second.at("windowTitle"), "Refactor parser");
  EXPECT_EQ(second.at("waiting"), true);
  EXPECT_EQ(second.at("status"), "waiting");
}

TEST(DiscoveryE2E, ListsTheRealAgentWithTheSessionOfItsRegistryFile) {
  // Before the temporary home: the agent is installed once into the real user's cache.
  if (AgentLab::agentBinary().empty())
    GTEST_SKIP() << AgentLab::whyNoAgent();

  ScopedHome home;
  PrivateTmux tmux;
  AgentLab lab(tmux, home.path());
  ASSERT_TRUE(lab.ready());
  std::string pane = lab.start("one", home.path() + "/work");
  ASSERT_FALSE(pane.empty());
  int64_t pid = tmux.panePid(pane);
  ASSERT_GT(pid, 0);
  std::string registry = home.agent("sessions/" + std::to_string(pid) + ".json");

  // The agent writes its registry file and sets its pane title a moment after it starts.
  nlohmann::json entry;
  waitFor(
      [&] {
        auto list = velmoList(home.path(), tmux.dir());
        if (!list) return false;
        auto found = ours(*list, {pid});
        if (found.size() != 1 || found[0].at("sessionID").get<std::string>().empty() ||
            found[0].at("windowTitle").get<std::string>().empty())
          return false;
        entry = found[0];
        return true;
      },
      60, 0.3);
  ASSERT_FALSE(entry.is_null()) << "the agent never showed up with a session and a title";

  auto text = Files::read(registry);
  ASSERT_TRUE(text);
  auto record = nlohmann::json::parse(*text, nullptr, false);
  ASSERT_TRUE(record.is_object());
  EXPECT_EQ(entry.at("sessionID"), record.at("sessionId"));
  EXPECT_EQ(entry.at("recordName"), record.at("name"));
  EXPECT_EQ(entry.at("tty"), tmux.paneTty(pane));
  EXPECT_FALSE(entry.at("waiting").is_null());
  // The agent's own title carries its spinner mark, which cleaning removes.
  EXPECT_FALSE(Text::startsWith(entry.at("windowTitle").get<std::string>(), "✳"));
}
