// The transcripts the real agent wrote (tests/fixtures/agent-home) read as a person reads them.
#include <gtest/gtest.h>

#include "sessions/language.h"
#include "sessions/state.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

using Mode = SessionState::Mode;

namespace {
// Times of the last time-stamped record of each transcript.
constexpr Clock::Time kAskedAndAnswered = 1796747522.359;  // 2026-12-08T16:32:02.359Z
constexpr Clock::Time kManyPrompts = 1796747621.922;       // 2026-12-08T16:33:41.922Z
constexpr Clock::Time kPlanAsked = 1796747647.934;         // 2026-12-08T16:34:07.934Z

class RealTranscripts : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock;
  void SetUp() override { copyFixtureAgentHome(home); }
  SessionState at(const char* id, Clock::Time when) {
    clock.set(when);
    auto s = Sessions::state(id);
    EXPECT_TRUE(s.has_value()) << id;
    return s.value_or(SessionState{});
  }
};
}  // namespace

TEST_F(RealTranscripts, AnsweredQuestionEndsOnTheAgentsReply) {
  SessionState s = at("74facb20-fb02-4371-8e3d-65ac87fe0356", kAskedAndAnswered + 10);
  EXPECT_EQ(s.title, "");
  EXPECT_EQ(s.cwd, "/tmp/ccwork");
  EXPECT_EQ(s.project, "ccwork");
  EXPECT_EQ(s.model, "Opus");
  EXPECT_EQ(s.contextTokens, 10900);
  EXPECT_DOUBLE_EQ(s.lastEvent, kAskedAndAnswered);  // the turn_duration record after the reply
  EXPECT_EQ(s.snippet,
            "Noted. The tool said: Your questions have been answered: \"Which colour should the "
            "login button be?\"=\"Green\". You can now continue with these answers in mind.");
  EXPECT_EQ(s.mode, Mode::working);
  EXPECT_EQ(s.activity, "AskUserQuestion");
  EXPECT_EQ(s.agentsRunning, 0);
  EXPECT_EQ(at("74facb20-fb02-4371-8e3d-65ac87fe0356", kAskedAndAnswered + 60).mode,
            Mode::waiting);
}

TEST_F(RealTranscripts, LongSessionSnippetIsCutAt160Characters) {
  SessionState s = at("c6d3753b-3e5b-413d-a41c-3796870a5b9a", kManyPrompts + 600);
  EXPECT_EQ(s.mode, Mode::waiting);
  EXPECT_EQ(s.model, "Opus");
  EXPECT_EQ(s.contextTokens, 10900);
  EXPECT_DOUBLE_EQ(s.lastEvent, kManyPrompts);
  EXPECT_EQ(s.snippet,
            "Noted. The tool said: Your questions have been answered: \"Which database should we "
            "use?\"=\"SQLite\", \"Which port should it listen on?\"=\"5432\". You can now continu");
}

TEST_F(RealTranscripts, PlanApprovalInFlightIsWorkUntilSilenceTurnsItQuiet) {
  const char* id = "e3913108-c290-4c1e-9f21-69845159b213";
  SessionState s = at(id, kPlanAsked + 100);
  EXPECT_EQ(s.mode, Mode::working);
  EXPECT_EQ(s.activity, "ExitPlanMode");
  EXPECT_EQ(s.snippet, "Let me check with you first.");
  EXPECT_DOUBLE_EQ(s.lastEvent, kPlanAsked);
  EXPECT_EQ(at(id, kPlanAsked + 150).mode, Mode::quiet);
}
