// Approval tokens and relay evidence: the two ways the owner's own decision reaches the
// control protocol, each good for exactly one answer.

#include <gtest/gtest.h>

#include <set>

#include "base/caches.h"
#include "base/timefmt.h"
#include "control/control.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

namespace {

class Tokens : public ::testing::Test {
 protected:
  Tokens() { Caches::emptyAll(); }
  ~Tokens() override { Caches::emptyAll(); }
  ScopedHome home;
  FakeClock clock;
};

// The agent's record of the owner answering its question tool, as this agent writes it.
nlohmann::json answered(const std::string& toolID, const std::string& text, Clock::Time at) {
  return Records::userBlocks(
      nlohmann::json::array(
          {{{"type", "tool_result"}, {"tool_use_id", toolID}, {"content", text}}}),
      at);
}

}  // namespace

TEST_F(Tokens, ATokenIsRandomHexAndGoodOnceForExactlyItsBinding) {
  std::string t = Control::mint("/dev/pts/3", "q1", "Yes");
  EXPECT_EQ(t.size(), 32u);
  EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(Control::mint("/dev/pts/3", "q1", "Yes"), t);

  EXPECT_FALSE(Control::redeem(t, "/dev/pts/4", "q1", "Yes"));
  EXPECT_FALSE(Control::redeem(t, "/dev/pts/3", "q2", "Yes"));
  EXPECT_FALSE(Control::redeem(t, "/dev/pts/3", "q1", "yes"));
  EXPECT_FALSE(Control::redeem("", "/dev/pts/3", "q1", "Yes"));
  // Failed tries leave it usable; the first good one uses it up.
  EXPECT_TRUE(Control::redeem(t, "/dev/pts/3", "q1", "Yes"));
  EXPECT_FALSE(Control::redeem(t, "/dev/pts/3", "q1", "Yes"));
}

TEST_F(Tokens, ATokenExpiresAfterTenMinutes) {
  std::string early = Control::mint("/dev/pts/3", "q1", "Yes");
  std::string late = Control::mint("/dev/pts/3", "q1", "No");
  clock.advance(599);
  EXPECT_TRUE(Control::redeem(early, "/dev/pts/3", "q1", "Yes"));
  clock.advance(1);
  EXPECT_FALSE(Control::redeem(late, "/dev/pts/3", "q1", "No"));
}

TEST_F(Tokens, RelayEvidenceIsTheOwnersRecentAnswerUsedOnce) {
  Clock::Time now = clock.now();
  writeTranscript(
      home, "console",
      Records::lines({
          answered("toolu_old", "Your questions have been answered: \"Deploy?\"=\"Yes\".",
                   now - 1900),
          answered("toolu_a",
                   "Your questions have been answered: \"Deploy now?\"=\"Yes\". "
                   "You can now continue with these answers in mind.",
                   now - 60),
          Records::sidechain(answered(
              "toolu_side", "User has answered your questions: \"Price?\"=\"$20\".", now - 30)),
          answered("toolu_b", "User has answered your questions: \"Ship?\"=\"Ship it\".", now - 20),
      }));
  auto ev = Control::relayEvidence("console", "yes", "worker");
  ASSERT_TRUE(ev);
  EXPECT_NE(ev->find("toolu_a"), std::string::npos);
  EXPECT_FALSE(Control::relayEvidence("console", "yes", "worker"));  // used once
  EXPECT_TRUE(Control::relayEvidence("console", "Ship it", "worker"));
  EXPECT_FALSE(Control::relayEvidence("console", "$20", "worker"));   // a side chain's
  EXPECT_FALSE(Control::relayEvidence("console", "Ship", "worker"));  // must be the whole value
}

TEST_F(Tokens, NoEvidenceFromVelmosOwnTypingTheTargetItselfOrOldAnswers) {
  Clock::Time now = clock.now();
  writeTranscript(
      home, "console",
      Records::lines(
          {answered("toolu_a", "Your questions have been answered: \"Go?\"=\"Yes\".", now - 10)}));
  EXPECT_FALSE(Control::relayEvidence("console", "Yes", "console"));
  EXPECT_FALSE(Control::relayEvidence("", "Yes", "worker"));
  EXPECT_FALSE(Control::relayEvidence("console", "", "worker"));
  EXPECT_FALSE(Control::relayEvidence("nobody", "Yes", "worker"));

  Control::markTyped("console");
  clock.advance(1799);
  EXPECT_FALSE(Control::relayEvidence("console", "Yes", "worker"));
  clock.advance(2);  // Velmo typed 30 minutes ago, but the answer is as old by now
  EXPECT_FALSE(Control::relayEvidence("console", "Yes", "worker"));
}

TEST_F(Tokens, VelmosTypingOlderThanHalfAnHourNoLongerBlocks) {
  Control::markTyped("console");
  clock.advance(1800);
  Clock::Time now = clock.now();
  writeTranscript(
      home, "console",
      Records::lines(
          {answered("toolu_a", "Your questions have been answered: \"Go?\"=\"Yes\".", now - 10)}));
  EXPECT_TRUE(Control::relayEvidence("console", "Yes", "worker"));
}
