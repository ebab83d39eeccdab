#include "sessions/questions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "base/text.h"
#include "sessions/language.h"
#include "sessions/questions_read.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

using Records::Json;

namespace {

constexpr Clock::Time t0 = 1.8e9;

Json say(const std::string& text, double at = 0) {
  return Records::assistant(Json::array({Records::text(text)}), t0 + at);
}
Json call(const Json& use, double at = 0) {
  return Records::assistant(Json::array({use}), t0 + at);
}
Json colour() {
  return Records::askCall(Json::array({Records::question(
      "Which colour?", "Colour", {{"Blue", "Calm"}, {"Green", ""}, {"Orange", "Loud"}})}));
}

std::optional<PendingQuestion> found(const std::vector<Json>& records) {
  return Questions::find(Records::lines(records), false, "s1", t0 + 99);
}

class QuestionsTest : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock{t0 + 100};

  std::string write(const std::string& text, const std::string& id = "s1", double modified = t0) {
    std::string path = writeTranscript(home, id, text);
    setModified(path, modified);
    return path;
  }
  std::vector<std::string> traced() {
    auto text = Files::read(home.agent("velmo-asks.log"));
    return text ? Text::split(*text, '\n') : std::vector<std::string>{};
  }
};

}  // namespace

TEST_F(QuestionsTest, OpenQuestionCarriesItsPartsChoicesAndTheWordsBeforeIt) {
  Json ask = colour();
  Json two = Records::askCall(Json::array(
      {Records::question("Which database?", "Database", {{"PostgreSQL", "Relational"}}),
       Records::question("Which checks?", "", {{"Lint", "Style"}, {"Fuzz", ""}}, true)}));
  auto q =
      found({Records::user("Pick one", t0 - 9), say("First thoughts.", -8),
             call(Records::toolUse("Bash", {{"command", "ls"}}), -7),
             Records::toolResult("x", "out", t0 - 6),
             Records::assistant(Json::array({Records::text("  Two things:"), Records::thinking(),
                                             Records::text("colour and checks.\n")}),
                                t0 - 5),
             call(two, 0)});
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->sid, "s1");
  EXPECT_EQ(q->toolID, two["id"]);
  EXPECT_EQ(q->kind, "ask");
  EXPECT_EQ(q->plan, "");
  EXPECT_DOUBLE_EQ(q->since, t0);
  EXPECT_EQ(q->context, "Two things:\ncolour and checks.");
  ASSERT_EQ(q->parts.size(), 2u);
  EXPECT_EQ(q->parts[0].question, "Which database?");
  EXPECT_EQ(q->parts[0].header, "Database");
  EXPECT_FALSE(q->parts[0].multi);
  ASSERT_EQ(q->parts[0].choices.size(), 1u);
  EXPECT_EQ(q->parts[0].choices[0].label, "PostgreSQL");
  EXPECT_EQ(q->parts[0].choices[0].detail, "Relational");
  EXPECT_EQ(q->parts[1].header, "");
  EXPECT_TRUE(q->parts[1].multi);
  ASSERT_EQ(q->parts[1].choices.size(), 2u);
  EXPECT_EQ(q->parts[1].choices[1].label, "Fuzz");
  EXPECT_EQ(q->parts[1].choices[1].detail, "");  // no description given
}

TEST_F(QuestionsTest, PlanApprovalHasThePlanAndNoParts) {
  Json plan = call(Records::planCall("1. Add a form\n2. Test it"));
  plan.erase("timestamp");
  auto q = found({Records::user("Plan it", t0 - 1), plan});
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->kind, "plan");
  EXPECT_TRUE(q->parts.empty());
  EXPECT_EQ(q->plan, "1. Add a form\n2. Test it");
  EXPECT_DOUBLE_EQ(q->since, t0 + 99);  // no time of its own: the time of reading
  EXPECT_EQ(q->context, "");            // the person spoke last
}

TEST_F(QuestionsTest, AToolResultWithEitherSpacingAnswersTheQuestion) {
  Json ask = colour();
  const std::string id = ask["id"];
  const std::string asked = Records::lines({say("Which one?"), call(ask)});
  EXPECT_TRUE(Questions::find(asked, false, "s1", t0).has_value());
  EXPECT_FALSE(Questions::find(asked + Records::lines({Records::toolResult(id, "Blue", t0 + 1)}),
                               false, "s1", t0));
  const std::string spaced =
      R"({"type":"user","message":{"role":"user","content":[{"type": "tool_result", "tool_use_id": ")" +
      id +
      R"(", "content": "Blue"}]}})"
      "\n";
  EXPECT_FALSE(Questions::find(asked + spaced, false, "s1", t0));
  // Another call's result, or the id in other words, answers nothing.
  EXPECT_TRUE(Questions::find(asked + Records::lines({Records::toolResult(id + "9", "x", t0 + 1)}),
                              false, "s1", t0));
  EXPECT_TRUE(Questions::find(asked + Records::lines({say("the id is " + id)}), false, "s1", t0));
}

TEST_F(QuestionsTest, OnlyTheNewestQuestionCounts) {
  Json older = colour(), newer = colour(), answered = colour();
  auto q = found({call(older, 0), call(newer, 1)});
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->toolID, newer["id"]);
  EXPECT_DOUBLE_EQ(q->since, t0 + 1);

  // A newer answered question hides an older one that was never answered.
  EXPECT_FALSE(found(
      {call(older, 0), call(answered, 1), Records::toolResult(answered["id"], "ok", t0 + 2)}));

  // A sub-agent's question is not the session's; neither is the tool's name in mere text.
  Json side = Records::sidechain(call(colour(), 2));
  auto main =
      found({call(older, 0), side, say("I could use AskUserQuestion with a \"tool_use\" here", 3)});
  ASSERT_TRUE(main.has_value());
  EXPECT_EQ(main->toolID, older["id"]);
  EXPECT_FALSE(found({side}));
}

TEST_F(QuestionsTest, ContextStopsAtThePersonsTypedPrompt) {
  // A typed prompt is a bare string, with no "text" key in its bytes.
  auto q =
      found({say("Earlier work is done."), Records::user("Now ask me", t0 + 1), call(colour(), 2)});
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->context, "");

  auto blocks =
      found({say("Earlier."), Records::userBlocks(Json::array({Records::text("Now ask")}), t0 + 1),
             call(colour(), 2)});
  EXPECT_EQ(blocks->context, "");

  auto side = found({say("Mine."), Records::sidechain(say("Not mine.")), call(colour(), 2)});
  EXPECT_EQ(side->context, "Mine.");

  std::string lengthy = std::string(1500, 'a');
  for (int i = 0; i < 700; ++i) lengthy += "ב";
  EXPECT_EQ(Text::length(found({say(lengthy), call(colour())})->context), 2000u);

  // At most 400 lines back.
  std::vector<Json> far{say("Too far back.")};
  for (int i = 0; i < 400; ++i)
    far.push_back(call(Records::toolUse("Read", {{"file_path", "/f"}})));
  far.push_back(call(colour()));
  EXPECT_EQ(found(far)->context, "");
  far.erase(far.begin() + 1);
  EXPECT_EQ(found(far)->context, "Too far back.");
}

TEST_F(QuestionsTest, TheCutFirstLineOfTheTailIsNeverExamined) {
  Json ask = colour();
  const std::string before = Records::lines({say("Hello")});
  const std::string line = Records::lines({call(ask)});
  // Filler records that add up to exactly `bytes`.
  auto padding = [](size_t bytes) {
    const std::string open = R"({"type":"pad","p":")", close = "\"}\n";
    std::string out;
    while (bytes > 0) {
      size_t piece = bytes > 2000 ? 1000 : bytes;
      out += open + std::string(piece - open.size() - close.size(), 'x') + close;
      bytes -= piece;
    }
    return out;
  };
  // The last 2,000,000 bytes begin 10 bytes into the question's line.
  write(before + line + padding(2000000 + 10 - line.size()), "inside");
  EXPECT_FALSE(Questions::pending("inside"));
  // They begin right at its first byte: still the first line of the tail.
  write(before + line + padding(2000000 - line.size()), "edge");
  EXPECT_FALSE(Questions::pending("edge"));
  // They begin 10 bytes before it: found.
  write(before + line + padding(2000000 - 10 - line.size()), "after");
  auto q = Questions::pending("after");
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->toolID, ask["id"]);
  // The cut line is not read for context either.
  EXPECT_EQ(q->context, "");
}

TEST_F(QuestionsTest, PendingIsCachedByFileSizeAndTimeAndChangesAreTraced) {
  Json ask = colour();
  const std::string id = ask["id"];
  std::string path = write(Records::lines({say("Which?"), call(ask)}));
  write(Records::lines({say("Nothing to ask.")}), "calm");

  EXPECT_FALSE(Questions::pending(""));
  EXPECT_FALSE(Questions::pending("nobody"));
  EXPECT_FALSE(Questions::pending("calm"));
  ASSERT_TRUE(Questions::pending("s1").has_value());
  const long long size = Files::attributes(path)->size;
  EXPECT_EQ(traced().size(), 1u);
  EXPECT_TRUE(Text::endsWith(
      traced().at(0), " s1 size=" + std::to_string(size) + " mtime=1800000000 ask=ask:" + id))
      << traced().at(0);

  // The same bytes count on disk again: nothing is re-read and nothing traced.
  std::string text = *Files::read(path);
  Files::writeAtomic(path, Text::replaceAll(text, "Which colour?", "Which flavour"));
  setModified(path, t0);
  EXPECT_EQ(Questions::pending("s1")->parts.at(0).question, "Which colour?");
  // A new time re-reads; the same question is not traced twice.
  setModified(path, t0 + 1);
  EXPECT_EQ(Questions::pending("s1")->parts.at(0).question, "Which flavour");
  EXPECT_EQ(traced().size(), 1u);

  appendTranscript(path, Records::lines({Records::toolResult(id, "Blue", t0 + 2)}));
  EXPECT_FALSE(Questions::pending("s1"));
  ASSERT_EQ(traced().size(), 2u);
  EXPECT_TRUE(Text::endsWith(traced().at(1), " ask=-"));
  EXPECT_TRUE(Text::startsWith(traced().at(1), "20"));  // an ISO 8601 time stamp
}
