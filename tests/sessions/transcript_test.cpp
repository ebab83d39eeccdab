#include "sessions/transcript.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "base/text.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

using Records::Json;

namespace {

constexpr Clock::Time t0 = 1.8e9;

std::string one(const Json& record) {
  return record.dump();
}

std::vector<Line> parsed(const Json& record) {
  return Transcript::parse(one(record));
}

Json reply(Json content, double at = 0) {
  return Records::assistant(std::move(content), t0 + at);
}

// A tool call whose argument differs per call, so no two of them fold into one row.
Json toolCall(int n, double at = 0) {
  return reply(
      Json::array({Records::toolUse("Read", {{"file_path", "/src/f" + std::to_string(n)}})}), at);
}

std::vector<std::string> texts(const Reading& r) {
  std::vector<std::string> out;
  for (const Line& l : r.lines)
    out.push_back(l.role + ":" + l.text + (l.arg.empty() ? "" : " " + l.arg));
  return out;
}

class TranscriptTest : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock{t0};

  std::string write(const std::string& text, const std::string& id = "s1") {
    std::string path = writeTranscript(home, id, text);
    setModified(path, t0);
    return path;
  }
};

}  // namespace

// ---- one record ----

TEST_F(TranscriptTest, PromptsAreTheUsersWordsWithTheirTime) {
  auto lines = parsed(Records::user("  Fix the login\n", t0 + 5));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].role, "you");
  EXPECT_EQ(lines[0].text, "Fix the login");
  EXPECT_EQ(lines[0].arg, "");
  EXPECT_DOUBLE_EQ(lines[0].time, t0 + 5);

  Json untimed = Records::user("hi", t0);
  untimed.erase("timestamp");
  EXPECT_DOUBLE_EQ(parsed(untimed).at(0).time, Clock::kDistantPast);

  auto blocks = parsed(Records::userBlocks(
      Json::array({Records::text("first"), {{"type", "image"}}, Records::text("second")}), t0));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].text, "first\nsecond");

  auto queued = parsed(Records::queued("also this", t0));
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].role, "you");
  EXPECT_EQ(queued[0].text, "also this");
  EXPECT_TRUE(parsed(Records::queued("from a hook", t0, "system")).empty());
}

TEST_F(TranscriptTest, ToolResultsSideChainsAndMetaRecordsGiveNoLines) {
  // Carries the user's text beside a tool result: still the tool's record.
  EXPECT_TRUE(
      parsed(Records::userBlocks(
                 Json::array({{{"type", "tool_result"}, {"tool_use_id", "t1"}, {"content", "ok"}},
                              Records::text("and a note")}),
                 t0))
          .empty());
  EXPECT_TRUE(parsed(Records::toolResult("t1", "output", t0)).empty());
  EXPECT_TRUE(parsed(Records::sidechain(Records::user("side", t0))).empty());
  EXPECT_TRUE(parsed(Records::meta(Records::user("Caveat: the messages below", t0))).empty());
  EXPECT_TRUE(parsed(reply(Json::array({Records::thinking()}))).empty());
  EXPECT_TRUE(parsed(Records::customTitle("A title")).empty());
  EXPECT_TRUE(Transcript::parse("not json").empty());
  EXPECT_TRUE(Transcript::parse("[1,2]").empty());
}

TEST_F(TranscriptTest, ReplyTextComesBeforeItsToolCallsInOrder) {
  auto lines = parsed(reply(
      Json::array({Records::text("Looking."), Records::toolUse("Read", {{"file_path", "/a.cpp"}}),
                   Records::text("Then running."),
                   Records::toolUse("Bash", {{"command", "make"}, {"description", "Build"}})})));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].role, "claude");
  EXPECT_EQ(lines[0].text, "Looking.\nThen running.");
  EXPECT_EQ(lines[1].role, "tool");
  EXPECT_EQ(lines[1].text, "reading a file");
  EXPECT_EQ(lines[1].arg, "/a.cpp");
  EXPECT_EQ(lines[2].text, "running a command");
  EXPECT_EQ(lines[2].arg, "make");  // the command is more telling than its description
}

TEST_F(TranscriptTest, ToolArgumentsAreOneLineOfAtMostSixtyCharacters) {
  const std::string command =
      "for f in *.log; do\n  grep -c ERROR \"$f\"\ndone | sort -n | tail -5 && echo finished";
  auto bash = parsed(reply(Json::array({Records::toolUse("Bash", {{"command", command}})})));
  ASSERT_EQ(bash.size(), 1u);
  EXPECT_EQ(bash[0].arg, "for f in *.log; do   grep -c ERROR \"$f\" done | sort -n | tai");
  EXPECT_EQ(Text::length(bash[0].arg), 60u);

  // Hebrew counts by characters, not bytes; empty values and non-strings are passed over.
  auto read = parsed(reply(Json::array({Records::toolUse(
      "Grep", {{"file_path", ""}, {"path", 7}, {"pattern", std::string(70, 'x')}})})));
  EXPECT_EQ(read.at(0).arg, std::string(60, 'x'));
  auto hebrew = parsed(reply(Json::array({Records::toolUse(
      "Task",
      {{"prompt", "בדוק את הבדיקות שנכשלו בלילה ותקן את מה שצריך לתקן בלי לשבור שום דבר אחר"}})})));
  EXPECT_EQ(Text::length(hebrew.at(0).arg), 60u);
  EXPECT_EQ(hebrew.at(0).text, "starting an agent");

  auto none = parsed(
      reply(Json::array({Records::toolUse("AskUserQuestion", {{"questions", Json::array()}})})));
  EXPECT_EQ(none.at(0).text, "AskUserQuestion");
  EXPECT_EQ(none.at(0).arg, "");
}

// ---- the person's text ----

TEST_F(TranscriptTest, SystemBlocksAreRemovedWithOrWithoutTheirClosingTag) {
  EXPECT_TRUE(parsed(Records::user("<system-reminder>\nThe date changed.\n</system-reminder>", t0))
                  .empty());
  EXPECT_EQ(Transcript::human("Fix it <system-reminder>note</system-reminder> now"), "Fix it  now");
  EXPECT_EQ(Transcript::human("Fix it\n<system-reminder>unclosed\nstill the reminder"), "Fix it");
  EXPECT_EQ(Transcript::human(
                "<command-name>/model</command-name>\n<command-message>model</command-message>\n"
                "<command-args>opus</command-args>"),
            "");
  EXPECT_EQ(Transcript::human("a<task-notification>1</task-notification>b<task-notification>2"),
            "ab");
  // A closing tag before the opening one is not the block's end.
  EXPECT_EQ(Transcript::human("x</budget-warning>y<budget-warning>z"), "x</budget-warning>y");
  EXPECT_EQ(
      Transcript::human("<local-command-stdout>\x1b[1mSet model\x1b[22m</local-command-stdout>"),
      "");
  EXPECT_EQ(Transcript::human("keep <b>this</b>"), "keep <b>this</b>");
}

TEST_F(TranscriptTest, TerminalCodesAndLeakedMouseReportsAreDropped) {
  EXPECT_EQ(Transcript::withoutTerminalCodes("\x1b[31mred\x1b[0m"), "red");
  EXPECT_EQ(Transcript::withoutTerminalCodes("a\x1b[1;32;40mb"), "ab");
  EXPECT_EQ(Transcript::withoutTerminalCodes("cut \x1b[12;"), "cut ");
  EXPECT_EQ(Transcript::withoutTerminalCodes("go<35;12;5M<0;7;9mnow"), "gonow");
  EXPECT_EQ(Transcript::withoutTerminalCodes("<123m"), "");
  // Fewer than three digits, or no final M, is ordinary text.
  EXPECT_EQ(Transcript::withoutTerminalCodes("a <12m b <35;12;5 c <;;M"),
            "a <12m b <35;12;5 c <;;M");
  EXPECT_EQ(Transcript::withoutTerminalCodes("שלום \x1b[2Kעולם"), "שלום עולם");
  EXPECT_EQ(Transcript::withoutTerminalCodes(""), "");
  EXPECT_EQ(parsed(Records::user("\x1b[31mred\x1b[0m", t0)).at(0).text, "red");
}

// ---- folding repeated tool rows ----

TEST_F(TranscriptTest, RepeatedToolRowsShowOnceUnlessSomethingCameBetween) {
  Line read{"tool", "reading a file", "/a", t0};
  Line other{"tool", "reading a file", "/b", t0};
  Line said{"claude", "reading a file", "/a", t0};
  auto kept = Transcript::collapse({read, read, read, other, read, said, read, read});
  std::vector<std::string> args;
  for (const Line& l : kept) args.push_back(l.role + l.arg);
  EXPECT_EQ(args, (std::vector<std::string>{"tool/a", "tool/b", "tool/a", "claude/a", "tool/a"}));
}

// ---- windows ----

TEST_F(TranscriptTest, WindowStopsOnceEnoughSayingsAreCollected) {
  std::vector<Json> records;
  for (int i = 0; i < 10; ++i) {
    records.push_back(Records::user("q" + std::to_string(i), t0 + i));
    records.push_back(reply(Json::array({Records::text("a" + std::to_string(i)),
                                         Records::toolUse("Bash", {{"command", "ls"}})}),
                            i));
  }
  const std::string text = Records::lines(records);

  Reading r = Transcript::readBytes(text, false, 3);
  EXPECT_EQ(texts(r), (std::vector<std::string>{"claude:a8", "tool:running a command ls", "you:q9",
                                                "claude:a9", "tool:running a command ls"}));
  EXPECT_FALSE(r.atStart);

  Reading all = Transcript::readBytes(text, false, 20);  // exactly every saying there is
  EXPECT_EQ(all.lines.size(), 30u);
  EXPECT_TRUE(all.atStart);
  EXPECT_TRUE(Transcript::readBytes("\n\n" + text + "\n", false, 500).atStart);

  // Begun inside the file: the first line is a fragment even when it would parse.
  Reading cut = Transcript::readBytes(text, true, 500);
  EXPECT_FALSE(cut.atStart);
  EXPECT_EQ(cut.lines.size(), 29u);
  EXPECT_EQ(cut.lines.front().text, "a0");
}

TEST_F(TranscriptTest, ToolHeavyWindowIsCappedAtSixHundredNewestLines) {
  std::vector<Json> records{Records::user("old prompt", t0)};
  std::string text = Records::lines(records);
  int n = 0;
  while (text.size() < 1000000) text += Records::lines({toolCall(++n)});
  ASSERT_GT(n, 800);

  Reading r = Transcript::readBytes(text, false, 5);
  ASSERT_EQ(r.lines.size(), 600u);
  EXPECT_FALSE(r.atStart);
  EXPECT_EQ(r.lines.back().arg, "/src/f" + std::to_string(n));
  EXPECT_EQ(r.lines.front().arg, "/src/f" + std::to_string(n - 599));

  // More wanted lines raise the cap: 14 for each.
  EXPECT_EQ(Transcript::readBytes(text, false, 50).lines.size(), 700u);

  // As a session: every tail size is tried, none suffices, and none is remembered.
  write(text, "heavy");
  Reading s = Transcript::read("heavy", 5);
  EXPECT_EQ(s.lines.size(), 600u);
  EXPECT_FALSE(s.atStart);
  EXPECT_FALSE(Transcript::learnedTail("heavy"));
}

TEST_F(TranscriptTest, TooFewSayingsInTheFirstMegabyteTryTheNextTailSize) {
  std::string text = Records::lines(
      {Records::user("first", t0), reply(Json::array({Records::text("answer")}), 1)});
  for (int n = 0; n < 420; ++n) {
    Json call = toolCall(n, 2);
    call["message"]["padding"] = std::string(2500, 'p');
    text += Records::lines({call});
  }
  text += Records::lines({Records::user("last", t0 + 3)});
  ASSERT_GT(text.size(), 1000000u);
  const std::string path = write(text);

  Reading r = Transcript::read("s1", 2);
  ASSERT_EQ(r.lines.size(), 422u);
  EXPECT_EQ(r.lines.front().text, "answer");
  EXPECT_EQ(r.lines.back().text, "last");
  EXPECT_FALSE(r.atStart);  // "first" is older still
  EXPECT_EQ(Transcript::learnedTail("s1"), 4000000u);

  // The whole conversation once must not make every later short window read it all.
  EXPECT_TRUE(Transcript::read("s1", 100000).atStart);
  EXPECT_EQ(Transcript::learnedTail("s1"), 4000000u);
  write(text, "whole");
  EXPECT_EQ(Transcript::read("whole", 100000).lines.size(), 423u);
  EXPECT_FALSE(Transcript::learnedTail("whole"));

  // A window read from one megabyte would have stopped at the fragment it began in.
  Reading small = Transcript::readWindow(path, 1000000, 2);
  EXPECT_EQ(small.lines.back().text, "last");
  EXPECT_LT(small.lines.size(), 421u);
  EXPECT_FALSE(small.atStart);
}

TEST_F(TranscriptTest, SessionReadingsAreCachedUntilTheFileChanges) {
  std::string path = write(Records::lines({Records::user("one", t0)}));
  EXPECT_EQ(texts(Transcript::read("s1", 24)), (std::vector<std::string>{"you:one"}));
  EXPECT_TRUE(Transcript::read("s1", 24).atStart);

  // Same size and time: the cached reading stands.
  std::string same = Text::replaceAll(*Files::read(path), "\"one\"", "\"uno\"");
  Files::writeAtomic(path, same);
  setModified(path, t0);
  EXPECT_EQ(texts(Transcript::read("s1", 24)), (std::vector<std::string>{"you:one"}));
  // Another count is its own entry.
  EXPECT_EQ(texts(Transcript::read("s1", 80)), (std::vector<std::string>{"you:uno"}));

  appendTranscript(path, Records::lines({Records::user("two", t0 + 1)}));
  EXPECT_EQ(texts(Transcript::read("s1", 24)), (std::vector<std::string>{"you:uno", "you:two"}));

  Reading missing = Transcript::read("nobody", 24);
  EXPECT_TRUE(missing.lines.empty());
  EXPECT_TRUE(missing.atStart);
}

TEST_F(TranscriptTest, ReachingBackToATimeAsksForEnoughLines) {
  std::vector<Json> records;
  for (int i = 0; i < 200; ++i) {
    records.push_back(Records::user("q" + std::to_string(i), t0 + 10 * i));
    records.push_back(reply(Json::array({Records::text("a" + std::to_string(i))}), 10 * i + 5));
  }
  write(Records::lines(records));

  EXPECT_EQ(Transcript::want(0, "s1"), 24);
  EXPECT_EQ(Transcript::want(t0 + 10 * 195, "s1"), 24);  // in the last twelve exchanges
  EXPECT_EQ(Transcript::want(t0 + 10 * 170, "s1"), 80);
  EXPECT_EQ(Transcript::want(t0 + 10 * 100, "s1"), 250);
  EXPECT_EQ(Transcript::want(t0 - 1000, "s1"), 800);  // the whole conversation, at its start
  // The first line must be at least a second older than the target.
  EXPECT_EQ(Transcript::want(t0 + 10 * 188 + 0.5, "s1"), 80);
  EXPECT_EQ(Transcript::want(t0 + 10 * 188 + 1, "s1"), 24);
}
