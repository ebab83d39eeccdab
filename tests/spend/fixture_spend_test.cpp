// The real agent's own transcripts (tests/fixtures), counted by hand: every reply of this
// agent version is written as one or two records repeating one usage of 1500 input, 60
// output, 9000 cache-read tokens and 400 cache-write tokens beside an all-zero breakdown.
#include <gtest/gtest.h>

#include <filesystem>

#include "sessions/language.h"
#include "spend/board.h"
#include "spend_support.h"

namespace {

using Spend::Counters;

class FixtureSpend : public SpendTest::SpendFixture {
 protected:
  void copyHome(const char* name) {
    namespace fs = std::filesystem;
    fs::copy(fs::path(VELMO_FIXTURES_DIR) / name / ".claude", home.agent(""),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
};

// n distinct messages of the one usage the scripted model API reports.
Counters replies(int64_t n) {
  return {1500 * n, 60 * n, 400 * n, 0, 9000 * n, n};
}

TEST_F(FixtureSpend, TheAgentHomesThreeSessionsCountElevenReplies) {
  copyHome("agent-home");
  ASSERT_TRUE(Spend::refresh(true));
  auto all = Spend::allModels();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all["claude-opus-5-5"], replies(11));
  EXPECT_EQ(session("74facb20-fb02-4371-8e3d-65ac87fe0356").models["claude-opus-5-5"], replies(2));
  EXPECT_EQ(session("c6d3753b-3e5b-413d-a41c-3796870a5b9a").models["claude-opus-5-5"], replies(7));
  EXPECT_EQ(session("e3913108-c290-4c1e-9f21-69845159b213").models["claude-opus-5-5"], replies(2));
  ScopedLanguage en("en");
  EXPECT_EQ(Spend::board({})["all"]["sessions"][0]["project"], "home");  // "-tmp-ccwork"
}

TEST_F(FixtureSpend, SubAgentTranscriptsCountTowardTheirSession) {
  copyHome("subagent-home");
  ASSERT_TRUE(Spend::refresh(true));
  EXPECT_EQ(Spend::account().figures().logs, 3u);
  auto all = Spend::allModels();
  ASSERT_EQ(all.size(), 1u);
  // Two replies of the session's own, one and two of its sub-agents'.
  EXPECT_EQ(all["claude-opus-5-5"], replies(5));
  EXPECT_EQ(session("c3ace0e1-acf6-4f42-9aea-1ad7e9b23e8e").models["claude-opus-5-5"], replies(5));
}

}  // namespace
