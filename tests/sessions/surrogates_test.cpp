// Half an emoji in a record: a program that cuts text by UTF-16 units writes a lone
// surrogate escape, which JavaScript reads and strict JSON parsers refuse. One such escape
// must cost the record nothing but the broken character.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "sessions/language.h"
#include "sessions/questions.h"
#include "sessions/state.h"
#include "sessions/transcript.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"
#include "terminals/discover.h"

using Records::Json;

namespace {

constexpr Clock::Time t0 = 1.8e9;
const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

std::string mended(std::string json) {
  Text::replaceLoneSurrogateEscapes(json);
  return json;
}

// The same records written twice: once with the lone escapes, once with what they mend to.
class Surrogates : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock{t0};

  // `records` as transcript text, each "@" turned into `escape`.
  void writeBoth(const std::vector<Json>& records, const std::string& escape) {
    const std::string text = Records::lines(records);
    setModified(writeTranscript(home, "broken", Text::replaceAll(text, "@", escape)), t0);
    setModified(writeTranscript(home, "whole", Text::replaceAll(text, "@", "\\ufffd")), t0);
  }

  void expectSameState() {
    clock.set(t0 + 60);
    auto broken = Sessions::state("broken");
    auto whole = Sessions::state("whole");
    ASSERT_TRUE(broken && whole);
    EXPECT_EQ(modeName(broken->mode), modeName(whole->mode));
    EXPECT_EQ(broken->model, whole->model);
    EXPECT_EQ(broken->snippet, whole->snippet);
    EXPECT_EQ(broken->title, whole->title);
    EXPECT_EQ(broken->cwd, whole->cwd);
    EXPECT_EQ(broken->contextTokens, whole->contextTokens);
    EXPECT_EQ(broken->lastEvent, whole->lastEvent);
    EXPECT_EQ(broken->activity, whole->activity);
  }
};

Json reply(const std::string& said, double at) {
  return Records::assistant(Json::array({Records::text(said)}), t0 + at, "claude-opus-4-5", 900);
}

}  // namespace

TEST(SurrogateEscapes, OnlyLoneOnesAreReplaced) {
  // A high one at the end, a low one alone, in either case of hex digits.
  EXPECT_EQ(mended(R"({"t":"cut \ud83d"})"), R"({"t":"cut \ufffd"})");
  EXPECT_EQ(mended(R"({"t":"\uDC00x"})"), R"({"t":"\ufffdx"})");
  EXPECT_EQ(mended(R"({"t":"\ud83d\u0041"})"), R"({"t":"\ufffd\u0041"})");
  // Two highs before a low: the first is lone, the second pairs.
  EXPECT_EQ(mended(R"({"t":"\ud83d\ud83d\ude00"})"), R"({"t":"\ufffd\ud83d\ude00"})");
  // An escaped backslash before "u" is a backslash and the letter u, not an escape...
  EXPECT_EQ(mended(R"({"t":"C:\\ud83d"})"), R"({"t":"C:\\ud83d"})");
  // ...and one more backslash makes it an escape again.
  EXPECT_EQ(mended(R"({"t":"\\\ud83d"})"), R"({"t":"\\\ufffd"})");

  std::string intact = R"({"t":"\ud83d\ude00 \u00e9 \n \" \ud8 \\"})";
  EXPECT_FALSE(Text::replaceLoneSurrogateEscapes(intact));
  EXPECT_EQ(intact, R"({"t":"\ud83d\ude00 \u00e9 \n \" \ud8 \\"})");
}

TEST_F(Surrogates, ALastReplyWithALoneSurrogateReadsAsTheSameReply) {
  writeBoth({Records::user("Make it festive", t0 - 20), reply("Done, party time @ enjoy.", 0)},
            "\\ud83d");
  expectSameState();
  auto state = Sessions::state("broken");
  EXPECT_EQ(modeName(state->mode), std::string("waiting"));
  EXPECT_EQ(state->model, "Opus");
  EXPECT_EQ(state->snippet, "Done, party time " + kReplacement + " enjoy.");
}

TEST_F(Surrogates, EveryRecordWithOneStillGivesTheSession) {
  Json titled = Records::aiTitle("Party @ plans");
  Json call = Records::assistant(
      Json::array({Records::text("Looking @"),
                   Records::toolUse("Bash", {{"command", "echo @"}, {"description", "Say @"}})}),
      t0 - 10, "claude-sonnet-4-5", 500);
  writeBoth({titled, Records::user("Plan the @ party", t0 - 20), call,
             Records::toolResult("t1", "@", t0 - 5), reply("All set @", 0)},
            "\\udc00");
  expectSameState();
  auto state = Sessions::state("broken");
  EXPECT_EQ(modeName(state->mode), std::string("waiting"));
  EXPECT_EQ(state->title, "Party " + kReplacement + " plans");
  EXPECT_EQ(state->contextTokens, 900);

  // The chat shows every line, the broken character replaced.
  auto broken = Transcript::read("broken", 24);
  auto whole = Transcript::read("whole", 24);
  ASSERT_EQ(broken.lines.size(), whole.lines.size());
  ASSERT_EQ(broken.lines.size(), 4u);  // prompt, text, tool, reply
  for (size_t i = 0; i < broken.lines.size(); ++i) {
    EXPECT_EQ(broken.lines[i].text, whole.lines[i].text);
    EXPECT_EQ(broken.lines[i].arg, whole.lines[i].arg);
  }
  EXPECT_EQ(broken.lines.back().text, "All set " + kReplacement);
}

TEST_F(Surrogates, AQuestionWithOneIsStillPending) {
  Json ask = Records::askCall(Json::array(
      {Records::question("Which cake @?", "Cake", {{"Chocolate @", "rich"}, {"Lemon", ""}})}));
  writeBoth({Records::user("Plan it", t0 - 20), reply("Before I bake @", -10),
             Records::assistant(Json::array({ask}), t0)},
            "\\ud83c");
  auto q = Questions::pending("broken");
  ASSERT_TRUE(q);
  ASSERT_EQ(q->parts.size(), 1u);
  EXPECT_EQ(q->parts[0].question, "Which cake " + kReplacement + "?");
  EXPECT_EQ(q->parts[0].choices.at(0).label, "Chocolate " + kReplacement);
  EXPECT_EQ(q->context, "Before I bake " + kReplacement);
}

TEST_F(Surrogates, ARegistryNameCutInAnEmojiKeepsItsRecord) {
  home.write(".claude/sessions/41.json",
             R"({"pid":41,"sessionId":"s41","status":"idle","name":"party \ud83d"})");
  auto registry = Terminals::pidToSession();
  ASSERT_EQ(registry.count(41), 1u);
  EXPECT_EQ(registry[41].id, "s41");
  EXPECT_EQ(registry[41].name, "party " + kReplacement);
}
