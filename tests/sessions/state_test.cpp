#include "sessions/state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "base/text.h"
#include "sessions/tail.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

using Mode = SessionState::Mode;
using Records::Json;

namespace {

constexpr Clock::Time t0 = 1.8e9;  // every record time below is counted from here

class SessionsTest : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock{t0};

  // The file's own time is pinned to a whole second, so a test can rewrite the file and
  // put the same time back.
  std::string write(const std::vector<Json>& records, const std::string& id = "s1") {
    return writeRaw(Records::lines(records), id);
  }
  std::string writeRaw(const std::string& text, const std::string& id = "s1") {
    std::string path = writeTranscript(home, id, text);
    setModified(path, t0);
    return path;
  }
  // Same size, same modification time, different bytes: only a re-read can see it.
  void rewriteUnseen(const std::string& path, const std::string& from, const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    auto attrs = Files::attributes(path);
    std::string text = Text::replaceAll(*Files::read(path), from, to);
    Files::writeAtomic(path, text);
    setModified(path, attrs->modified);
  }
  SessionState at(double seconds, const std::string& id = "s1") {
    clock.set(t0 + seconds);
    auto s = Sessions::state(id);
    EXPECT_TRUE(s.has_value()) << id;
    return s.value_or(SessionState{});
  }
};

Json answer(const std::string& said, double at) {
  return Records::assistant(Json::array({Records::text(said)}), t0 + at);
}
Json toolCall(const std::string& tool, double at) {
  return Records::assistant(Json::array({Records::toolUse(tool)}), t0 + at);
}

// Lines of filler records that add up to exactly `bytes` (at least 40).
std::string padding(size_t bytes) {
  const std::string open = R"({"type":"pad","p":")", close = "\"}\n";
  std::string out;
  while (bytes > 0) {
    size_t line = bytes > 2000 ? 1000 : bytes;
    out += open + std::string(line - open.size() - close.size(), 'x') + close;
    bytes -= line;
  }
  return out;
}

}  // namespace

// ---- mode thresholds ----

TEST_F(SessionsTest, AnswerIsWorkingThenWaitingForSixHoursThenQuiet) {
  std::string path = write({Records::user("Fix it", t0 - 5), answer("Done.", 0)});
  SessionState s = at(29.9);
  EXPECT_EQ(s.mode, Mode::working);
  EXPECT_EQ(s.activity, "thinking");

  // The file does not change from here on; every call below is answered from the cache,
  // which must still let time pass.
  rewriteUnseen(path, "Done.", "Nope.");
  s = at(30);
  EXPECT_EQ(s.snippet, "Done.");
  EXPECT_EQ(s.mode, Mode::waiting);
  EXPECT_EQ(s.activity, "");
  EXPECT_EQ(at(21600).mode, Mode::waiting);
  s = at(21600.5);
  EXPECT_EQ(s.mode, Mode::quiet);
  EXPECT_EQ(s.snippet, "Done.");
  EXPECT_DOUBLE_EQ(s.lastEvent, t0);
}

TEST_F(SessionsTest, ToolCallPromptOrResultIsWorkingUntil150SecondsWithNoWaiting) {
  write({Records::user("Fix it", t0 - 5), toolCall("Bash", 0)}, "tool");
  write({answer("Done.", -10), Records::user("And the tests?", t0)}, "human");
  write({toolCall("Read", -10),
         Records::userBlocks(Json::array({{{"type", "tool_result"}, {"tool_use_id", "t"}}}), t0)},
        "result");
  for (const char* id : {"tool", "human", "result"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(at(0, id).mode, Mode::working);
    EXPECT_EQ(at(100, id).mode, Mode::working);
    EXPECT_EQ(at(149.9, id).mode, Mode::working);
    SessionState s = at(150, id);
    EXPECT_EQ(s.mode, Mode::quiet);
    EXPECT_EQ(s.activity, "");
  }
  EXPECT_EQ(at(10, "tool").activity, "running a command");
  EXPECT_EQ(at(10, "human").activity, "thinking");  // no tool called yet
  EXPECT_EQ(at(10, "result").activity, "reading a file");
}

TEST_F(SessionsTest, RecordsWithoutTimesFallBackToTheFileTime) {
  std::string path = writeRaw(R"({"type":"user","message":{"content":"hi"}})" "\n");
  setModified(path, t0 - 200);
  SessionState s = at(0);
  EXPECT_DOUBLE_EQ(s.lastEvent, t0 - 200);
  EXPECT_EQ(s.mode, Mode::quiet);
}

// ---- the tail ----

TEST_F(SessionsTest, TailOfExactly300000BytesIsWholeOneMoreCutsItsFirstLine) {
  const std::string title = Records::lines({Records::customTitle("First")});
  const std::string end = Records::lines({answer("Done.", 0)});
  const std::string body = title + padding(300000 - title.size() - end.size()) + end;
  ASSERT_EQ(body.size(), 300000u);
  writeRaw(body, "exact");
  EXPECT_EQ(at(0, "exact").title, "First");

  // One byte more: the read starts at the title record's first byte, which makes that
  // line a fragment even though what is left of it would parse.
  writeRaw(" " + body, "over");
  SessionState s = at(0, "over");
  EXPECT_EQ(s.title, "");
  EXPECT_EQ(s.snippet, "Done.");
}

TEST_F(SessionsTest, RecordsBeforeTheLast300000BytesAreNotRead) {
  writeRaw(Records::lines({Records::customTitle("Old"), answer("Old answer", -500)}) +
           padding(400000) + Records::lines({Records::aiTitle("New")}));
  SessionState s = at(0);
  EXPECT_EQ(s.title, "New");
  EXPECT_EQ(s.snippet, "");
  EXPECT_EQ(s.model, "");
}

TEST_F(SessionsTest, MalformedLinesAreSkippedAndAnUnfinishedLastLineWaits) {
  Json marked = answer("from a tool result", 5);
  marked["toolUseResult"] = {{"stdout", "x"}};
  std::string text = "not json\n[1,2]\n42\n\n" R"({"type":"assistant","message":)" "\n" +
                     Records::lines({answer("Good answer", 0), marked}) +
                     R"({"type":"assistant","message":{"content":[{"type":"text","text":"bad )" "\xff" R"("}]}})" "\n";
  std::string path = writeRaw(text);
  SessionState s = at(1);
  EXPECT_EQ(s.snippet, "Good answer");
  EXPECT_DOUBLE_EQ(s.lastEvent, t0);

  std::string unfinished = answer("Finished now", 2).dump();
  appendTranscript(path, unfinished);
  EXPECT_EQ(at(3).snippet, "Good answer");
  appendTranscript(path, "\n");
  EXPECT_EQ(at(3).snippet, "Finished now");
}

// ---- what the records say ----

TEST_F(SessionsTest, SidechainRecordsChangeNothing) {
  std::vector<Json> main = {Records::user("Fix it", t0 - 5), answer("Done.", 0)};
  Json side = Records::sidechain(Records::assistant(
      Json::array({Records::text("side text"), Records::toolUse("Bash")}), t0 + 50,
      "claude-haiku-4-5", 1, 1, 1));
  side["cwd"] = "/elsewhere";
  side["customTitle"] = "Side title";
  std::vector<Json> withSide = main;
  withSide.push_back(side);
  withSide.push_back(Records::sidechain(Records::user("side prompt", t0 + 60)));
  write(main, "plain");
  write(withSide, "side");
  SessionState a = at(40, "plain"), b = at(40, "side");
  EXPECT_EQ(b.mode, Mode::waiting);
  EXPECT_DOUBLE_EQ(b.lastEvent, a.lastEvent);
  EXPECT_EQ(b.title, a.title);
  EXPECT_EQ(b.cwd, a.cwd);
  EXPECT_EQ(b.model, a.model);
  EXPECT_EQ(b.contextTokens, a.contextTokens);
  EXPECT_EQ(b.snippet, a.snippet);
}

TEST_F(SessionsTest, CustomTitleWinsOverALaterAiTitleAndEmptyTitlesAreIgnored) {
  write({Records::aiTitle("First guess"), Records::customTitle("Mine"), Records::aiTitle("Later"),
         Records::customTitle(""), answer("Done.", 0)},
        "custom");
  write({Records::aiTitle("First guess"), Records::aiTitle("Later"), Records::aiTitle("")}, "ai");
  EXPECT_EQ(at(0, "custom").title, "Mine");
  EXPECT_EQ(at(0, "ai").title, "Later");
}

TEST_F(SessionsTest, CwdAndProject) {
  Json moved = answer("Done.", 0);
  moved["cwd"] = "/home/dana/shop/";
  write({Records::user("Fix it", t0 - 5), moved});
  SessionState s = at(0);
  EXPECT_EQ(s.cwd, "/home/dana/shop/");
  EXPECT_EQ(s.project, "shop");
  EXPECT_EQ(s.id, "s1");
}

TEST_F(SessionsTest, ContextIsThePromptSizeOfTheLastAssistantRecordThatReportedOne) {
  Json zero = Records::assistant(Json::array({Records::text("b")}), t0 + 1);
  Json words = Records::assistant(Json::array({Records::text("c")}), t0 + 2);
  words["message"]["usage"] = {{"input_tokens", "many"}, {"cache_read_input_tokens", nullptr}};
  write({Records::assistant(Json::array({Records::text("a")}), t0, "claude-opus-4-5", 1500, 9000,
                            400),
         zero, words, Records::user("next", t0 + 3)},
        "kept");
  EXPECT_EQ(at(5, "kept").contextTokens, 10900);
  write({Records::assistant(Json::array({Records::text("a")}), t0, "claude-opus-4-5", 1500, 9000,
                            400),
         Records::assistant(Json::array({Records::text("b")}), t0 + 1, "claude-opus-4-5", 10, 20,
                            30)},
        "replaced");
  EXPECT_EQ(at(5, "replaced").contextTokens, 60);
  write({Records::user("hi", t0)}, "none");
  EXPECT_EQ(at(5, "none").contextTokens, 0);
}

TEST_F(SessionsTest, ModelLabelFollowsTheLastAssistantRecord) {
  write({answer("a", 0), Records::assistant(Json::array({Records::text("b")}), t0 + 1,
                                            "claude-sonnet-4-5")},
        "sonnet");
  write({Records::assistant(Json::array({Records::text("b")}), t0 + 1, "gpt-5")}, "other");
  EXPECT_EQ(at(5, "sonnet").model, "Sonnet");
  EXPECT_EQ(at(5, "other").model, "");
}

TEST_F(SessionsTest, QueuedHumanPromptBecomesTheSnippetButNotTheTurn) {
  write({Records::user("Fix it", t0 - 5), toolCall("Bash", 0),
         Records::queued("**Also**\nfix  the `tests`", t0 + 5),
         Records::queued("from a hook", t0 + 6, "system")});
  SessionState s = at(100);
  EXPECT_EQ(s.snippet, "Also fix the tests");
  EXPECT_EQ(s.mode, Mode::working);
  EXPECT_EQ(s.activity, "running a command");
  EXPECT_DOUBLE_EQ(s.lastEvent, t0 + 6);
  EXPECT_EQ(at(156).mode, Mode::quiet);  // still the tool's rule: no waiting
}

TEST_F(SessionsTest, ThinkingOnlyRecordKeepsTheTurnButMovesTheClock) {
  write({Records::user("Fix it", t0 - 5), answer("Done.", 0),
         Records::assistant(Json::array({Records::thinking()}), t0 + 5, "claude-sonnet-4-5")});
  SessionState s = at(34);
  EXPECT_EQ(s.mode, Mode::working);
  EXPECT_EQ(s.snippet, "Done.");
  EXPECT_EQ(s.model, "Sonnet");
  EXPECT_EQ(s.modelID, "claude-sonnet-4-5");
  EXPECT_EQ(at(35).mode, Mode::waiting);
}

TEST_F(SessionsTest, NewestToolOfARecordNamesTheActivity) {
  write({Records::user("Fix it", t0 - 5),
         Records::assistant(Json::array({Records::text("Looking."), Records::toolUse("Grep"),
                                         Records::toolUse("Edit")}),
                            t0)});
  SessionState s = at(10);
  EXPECT_EQ(s.activity, "editing code");
  EXPECT_EQ(s.snippet, "Looking.");
}

TEST(Snippet, CleaningMakesOneTidyLine) {
  EXPECT_EQ(Sessions::clean("## Plan\n\n**Step one**: run `make`   now  "),
            "Plan Step one: run make now");
  EXPECT_EQ(Sessions::clean("####"), "#");  // "###" goes before "##"
  EXPECT_EQ(Sessions::clean("   "), "");
}

TEST_F(SessionsTest, SnippetIsTheFirst160Characters) {
  std::string hebrew;
  for (int i = 0; i < 200; ++i) hebrew += "ש";
  write({answer(hebrew, 0)});
  std::string snippet = at(0).snippet;
  EXPECT_EQ(Text::length(snippet), 160u);
  EXPECT_EQ(Text::validUtf8(snippet), snippet);
}

// ---- labels ----

TEST(Labels, ToolsInBothLanguages) {
  struct Case {
    const char* tool;
    const char* english;
    const char* hebrew;
  };
  const Case cases[] = {
      {"Bash", "running a command", "מריץ פקודה"},
      {"MultiEdit", "editing code", "עורך קוד"},
      {"Glob", "searching the code", "מחפש בקוד"},
      {"Agent", "starting an agent", "מפעיל סוכן"},
      {"WebSearch", "searching the web", "מחפש ברשת"},
      {"TaskUpdate", "updating tasks", "מעדכן משימות"},
      {"Artifact", "publishing an artifact", "מפרסם תוצר"},
      {"", "thinking", "חושב"},
      {"mcp__claude-in-chrome__navigate", "working in the browser", "עובד בדפדפן"},
      {"mcp__computer-use__click", "working on screen", "עובד על המסך"},
      {"mcp__github__create_issue", "calling an outside system", "פונה למערכת חיצונית"},
      {"Frobnicate", "Frobnicate", "Frobnicate"},
      {"bash", "bash", "bash"},  // names are compared exactly
  };
  {
    ScopedLanguage en("en");
    for (const Case& c : cases) EXPECT_EQ(Sessions::hebrewTool(c.tool), c.english) << c.tool;
  }
  ScopedLanguage he("he");
  for (const Case& c : cases) EXPECT_EQ(Sessions::hebrewTool(c.tool), c.hebrew) << c.tool;
}

TEST(Labels, ModelsInBothLanguages) {
  {
    ScopedLanguage en("en");
    EXPECT_EQ(Sessions::modelLabel("claude-opus-4-5-20251101"), "Opus");
    EXPECT_EQ(Sessions::modelLabel("Claude-Sonnet-4"), "Sonnet");
    EXPECT_EQ(Sessions::modelLabel("claude-3-5-haiku"), "Haiku");
    EXPECT_EQ(Sessions::modelLabel("fable-1"), "Fable");
    EXPECT_EQ(Sessions::modelLabel("sonnet-distilled-from-opus"), "Opus");  // first in order
    EXPECT_EQ(Sessions::modelLabel("<synthetic>"), "");
  }
  ScopedLanguage he("he");
  EXPECT_EQ(Sessions::modelLabel("claude-opus-4-5"), "אופוס");
  EXPECT_EQ(Sessions::modelLabel("claude-sonnet-4-5"), "סונט");
  EXPECT_EQ(Sessions::modelLabel("claude-haiku-4-5"), "הייקו");
  EXPECT_EQ(Sessions::modelLabel("fable"), "פייבל");
}

// ---- sub-agents ----

TEST_F(SessionsTest, RunningSubagentsKeepAWaitingSessionWorking) {
  std::string path = write({Records::user("Fix it", t0 - 5), answer("Done.", 0)});
  clock.set(t0 + 60);
  writeSubagent(path, "agent-a.jsonl", t0 + 50);
  writeSubagent(path, "agent-old.jsonl", t0 + 60 - 121);
  writeSubagent(path, "agent-a.meta.json", t0 + 55);
  SessionState s = at(60);
  EXPECT_EQ(s.mode, Mode::working);
  EXPECT_EQ(s.activity, "one agent working");
  EXPECT_EQ(s.agentsRunning, 1);

  writeSubagent(path, "agent-b.jsonl", t0 + 58);
  s = at(60);
  EXPECT_EQ(s.activity, "2 agents working");
  EXPECT_EQ(s.agentsRunning, 2);
  {
    ScopedLanguage he("he");
    EXPECT_EQ(at(60).activity, "2 סוכנים עובדים");
    setModified(path.substr(0, path.size() - 6) + "/subagents/agent-b.jsonl", t0 - 100);
    EXPECT_EQ(at(60).activity, "סוכן אחד עובד");
  }

  // Once they fall silent the session is back to what its transcript says.
  s = at(500);
  EXPECT_EQ(s.mode, Mode::waiting);
  EXPECT_EQ(s.activity, "");
  EXPECT_EQ(s.agentsRunning, 0);
}

TEST_F(SessionsTest, SubagentsDoNotHideWhatTheMainAgentIsDoing) {
  std::string path = write({Records::user("Fix it", t0 - 5), toolCall("Task", 0)});
  writeSubagent(path, "agent-a.jsonl", t0 + 5);
  SessionState s = at(10);
  EXPECT_EQ(s.activity, "starting an agent");
  EXPECT_EQ(s.agentsRunning, 1);
  // Long after the main transcript went still, a busy sub-agent still means work.
  writeSubagent(path, "agent-a.jsonl", t0 + 995);
  s = at(1000);
  EXPECT_EQ(s.mode, Mode::working);
  EXPECT_EQ(s.activity, "one agent working");
}

// ---- locating and caching ----

TEST_F(SessionsTest, TranscriptsAreFoundInAnyProjectFolderAndFollowedWhenMoved) {
  Files::makeDirectories(home.agent("projects/-a"));
  home.write(".claude/projects/-a/other.jsonl", "");
  std::string path = writeTranscript(home, "s1", Records::lines({answer("Done.", 0)}), "-b");
  EXPECT_EQ(Sessions::transcriptURL("s1"), path);
  EXPECT_EQ(Sessions::transcriptURL("s1"), path);

  std::string moved = home.agent("projects/-a/s1.jsonl");
  ASSERT_EQ(::rename(path.c_str(), moved.c_str()), 0);
  EXPECT_EQ(Sessions::transcriptURL("s1"), moved);
  ::unlink(moved.c_str());
  EXPECT_FALSE(Sessions::transcriptURL("s1"));
  EXPECT_FALSE(Sessions::state("s1"));
  EXPECT_FALSE(Sessions::state(""));
  EXPECT_FALSE(Sessions::transcriptURL("missing"));
}

TEST_F(SessionsTest, SessionIdsThatAreNotFileNamesFindNothing) {
  home.write(".claude/secret.jsonl", Records::lines({answer("secret", 0)}));
  Files::makeDirectories(home.agent("projects/-a"));
  EXPECT_FALSE(Sessions::transcriptURL("../../secret"));
  EXPECT_FALSE(Sessions::state("../../secret"));
}

TEST_F(SessionsTest, CacheHoldsUntilSizeOrTimeChanges) {
  std::string path = write({answer("Alpha", 0)});
  EXPECT_EQ(at(1).snippet, "Alpha");
  rewriteUnseen(path, "Alpha", "Bravo");
  EXPECT_EQ(at(1).snippet, "Alpha");  // not read again

  setModified(path, t0 + 1);
  EXPECT_EQ(at(1).snippet, "Bravo");

  rewriteUnseen(path, "Bravo", "Delta");
  appendTranscript(path, "\n");
  setModified(path, t0 + 1);
  EXPECT_EQ(at(1).snippet, "Delta");
}

TEST_F(SessionsTest, CacheIsEmptiedWhenItOutgrows200Entries) {
  std::string path = write({answer("Alpha", 0)}, "first");
  EXPECT_EQ(at(1, "first").snippet, "Alpha");
  rewriteUnseen(path, "Alpha", "Bravo");
  for (int i = 0; i < 199; ++i) {
    std::string id = "other" + std::to_string(i);
    write({answer("x", 0)}, id);
    at(1, id);
  }
  EXPECT_EQ(at(1, "first").snippet, "Alpha");  // 200 entries: still held
  write({answer("x", 0)}, "one-more");
  at(1, "one-more");
  EXPECT_EQ(at(1, "first").snippet, "Bravo");
}

TEST(SessionsTime, ParsesTimesWithAndWithoutFractions) {
  EXPECT_DOUBLE_EQ(*Sessions::time("2026-12-08T16:31:50.781Z"), 1796747510.781);
  EXPECT_DOUBLE_EQ(*Sessions::time("2026-12-08T16:31:50Z"), 1796747510.0);
  EXPECT_DOUBLE_EQ(*Sessions::time("2026-12-08T18:31:50+02:00"), 1796747510.0);
  EXPECT_FALSE(Sessions::time("yesterday"));
  EXPECT_FALSE(Sessions::time(""));
}
