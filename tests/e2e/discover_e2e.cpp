// velmo --list against a private tmux server whose panes run a stand-in agent.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/process.h"
#include "support/home.h"
#include "support/tmux_lab.h"

namespace {

// velmo --list as a user without a UTF-8 locale runs it, with the test's home and server.
std::optional<nlohmann::json> velmoList(const std::string& home, const std::string& tmuxDir) {
  auto out = Terminals::shell("/usr/bin/env",
                              {"-u", "TMUX", "-u", "CLAUDE_CONFIG_DIR", "-u", "XDG_CONFIG_HOME",
                               "HOME=" + home, "TMUX_TMPDIR=" + tmuxDir, "LC_ALL=C", "LANG=C",
                               VELMO_BINARY, "--list"},
                              30);
  if (!out) return std::nullopt;
  auto json = nlohmann::json::parse(*out, nullptr, false);
  if (json.is_discarded()) return std::nullopt;
  return json;
}

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
  ASSERT_TRUE(tmux.tmux({"select-pane", "-t", a, "-T", "✳ Fix login — claude"}));
  ASSERT_TRUE(tmux.tmux({"select-pane", "-t", b, "-T", "Refactor parser"}));

  std::vector<nlohmann::json> found;
  double deadline = Clock::monotonic() + 20;
  while (Clock::monotonic() < deadline) {
    if (auto list = velmoList(home.path(), tmux.dir())) {
      found = ours(*list, {pidA, pidB});
      if (found.size() == 2) break;
    }
    Clock::sleep(0.1);
  }
  ASSERT_EQ(found.size(), 2u);

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
