// The session state that `velmo --list` shows for the real agent, over time.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

#include "base/clock.h"
#include "base/files.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "support/agent_lab.h"
#include "support/home.h"
#include "support/tmux_lab.h"

namespace {

nlohmann::json entryFor(const std::string& home, const std::string& tmuxDir, int64_t pid) {
  auto listed = velmoList(home, tmuxDir);
  if (!listed) return nullptr;
  for (const auto& t : listed->at("terminals"))
    if (t.at("pid") == pid) return t;
  return nullptr;
}

}  // namespace

TEST(ListWithAgent, AnsweredSessionIsWorkingThenWaitingAfterThirtySeconds) {
  if (AgentLab::agentBinary().empty())
    GTEST_SKIP() << AgentLab::whyNoAgent();
  ScopedHome home;
  PrivateTmux tmux;
  AgentLab lab(tmux, home.path());
  ASSERT_TRUE(lab.ready());
  std::string work = home.path() + "/work";
  std::string pane = lab.start("one", work);
  ASSERT_FALSE(pane.empty());
  int64_t pid = tmux.panePid(pane);
  ASSERT_TRUE(waitFor([&] { return Text::contains(lab.screen(pane), "❯"); }, 90))
      << lab.screen(pane);

  lab.type(pane, "Hello there");
  // The reply is on screen once the agent's own message marker shows.
  ASSERT_TRUE(waitFor([&] { return Text::contains(lab.screen(pane), "●"); }, 60))
      << lab.screen(pane);

  nlohmann::json mine;
  ASSERT_TRUE(waitFor(
      [&] {
        mine = entryFor(home.path(), tmux.dir(), pid);
        return mine.is_object() && mine.at("state").is_object() &&
               mine.at("state").at("model") == "Opus";
      },
      30))
      << mine.dump();

  auto registry = nlohmann::json::parse(
      Files::read(home.agent("sessions/" + std::to_string(pid) + ".json")).value_or(""), nullptr,
      false);
  ASSERT_TRUE(registry.is_object());
  EXPECT_EQ(mine.at("sessionID"), registry.at("sessionId"));
  EXPECT_EQ(mine.at("status"), registry.at("status"));
  const auto& state = mine.at("state");
  EXPECT_EQ(state.at("id"), registry.at("sessionId"));
  EXPECT_EQ(state.at("cwd"), std::filesystem::canonical(work).string());
  EXPECT_EQ(state.at("project"), "work");
  EXPECT_GT(state.at("contextTokens").get<long long>(), 0);

  double last = *TimeText::parseIso(state.at("lastEvent").get<std::string>());
  if (Clock::now() - last < 28) {
    EXPECT_EQ(state.at("mode"), "working") << "right after the answer";
  }
  // Thirty seconds after the reply's last record, the session waits for the user.
  ASSERT_TRUE(waitFor(
      [&] {
        auto e = entryFor(home.path(), tmux.dir(), pid);
        return e.is_object() && e.at("state").is_object() &&
               e.at("state").at("mode") == "waiting";
      },
      60, 1.0));
  EXPECT_GE(Clock::now() - last, 30.0);
}
