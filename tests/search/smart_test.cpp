#include "search/smart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "page/panel.h"
#include "sessions/language.h"
#include "support/home.h"

namespace {

constexpr Clock::Time t0 = 1.8e9;

std::string shardLine(long long epoch, const std::string& role, const std::string& text) {
  return std::to_string(epoch) + "\t" + role + "\t" + text + "\n";
}

Work work(const std::string& path, Clock::Time modified) {
  Work w;
  w.path = path;
  w.name = Text::lastComponent(path);
  w.kind = "File";
  w.modified = modified;
  return w;
}

std::string noTitle(const std::string&) {
  return "";
}

class SmartTest : public ::testing::Test {
 protected:
  /// A shard of the index in the test's home.
  std::string shard(const std::string& sid, const std::string& text) {
    return home.write(".claude/velmo-index/" + sid + ".txt", text);
  }
  /// A stand-in agent at ~/.local/bin/claude, where the agent is looked for first.
  std::string agent(const std::string& body) {
    std::string path = home.write(".local/bin/claude", "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
  }
  SmartSearch::Options options(std::vector<std::string> shards, std::vector<Work> works = {}) {
    SmartSearch::Options o;
    o.titles.of = o.titles.known = [](const std::string& sid) { return "title of " + sid; };
    o.shards = std::move(shards);
    o.works = std::move(works);
    o.worksRoot = "/w";
    o.refresh = false;
    o.limit = 20;
    return o;
  }
  std::string logText() { return Files::read(SmartSearch::logPath()).value_or(""); }

  ScopedHome home;
  ScopedLanguage english{"en"};
};

}  // namespace

// ---- the catalogue ----

TEST_F(SmartTest, EntryTakesTheFirstAndLastPromptAndSkipsSessionsWithoutOne) {
  std::string five;
  for (int i = 1; i <= 5; ++i)
    five += shardLine(t0 + i, "y", "prompt " + std::to_string(i)) + shardLine(t0 + i, "c", "ok");
  auto e = SmartSearch::entry(shard("five", five), noTitle);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->prompts, (std::vector<std::string>{"prompt 1", "prompt 5"}));
  EXPECT_EQ(e->title, "untitled");

  auto two = SmartSearch::entry(
      shard("two", shardLine(t0, "y", "one") + shardLine(t0 + 1, "y", "two")), noTitle);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->prompts, (std::vector<std::string>{"one", "two"}));

  // Only the agent speaks: nothing the user typed to find it by.
  EXPECT_FALSE(SmartSearch::entry(
      shard("quiet", shardLine(t0, "c", "hello") + shardLine(t0, "c", "again")), noTitle));
  EXPECT_FALSE(SmartSearch::entry(home.path() + "/no-such.txt", noTitle));
}

TEST_F(SmartTest, EntryCutsPromptsByCharactersAndDatesByTheNewestDatedLine) {
  std::string hebrew;
  for (int i = 0; i < 100; ++i) hebrew += "ש";
  std::string text =
      shardLine(t0, "y", hebrew) + "broken line\n" + "x\ty\n" + shardLine(0, "c", "undated reply");
  auto e = SmartSearch::entry(shard("s1", text), [](const std::string&) { return "Shop"; });
  ASSERT_TRUE(e);
  EXPECT_EQ(Text::length(e->prompts[0]), 90u);
  EXPECT_TRUE(Text::startsWith(hebrew, e->prompts[0]));
  EXPECT_EQ(e->title, "Shop");
  // The undated last line does not wipe the date of the one before it.
  EXPECT_FALSE(e->when.empty());
  EXPECT_EQ(e->sid, "s1");
}

TEST_F(SmartTest, PickTakesTheNewestThenOlderOnesWhoseTitleMatches) {
  std::vector<std::string> shards;
  for (int i = 0; i < 800; ++i) shards.push_back("/i/s" + std::to_string(i) + ".txt");
  auto titled = [](const std::string& sid) {
    int n = std::stoi(sid.substr(1));
    return n % 2 == 0 ? "Login page " + sid : "other";
  };
  auto picked = SmartSearch::pick(shards, QuickFind::words("the LOGIN"), titled);
  ASSERT_EQ(picked.size(), 130u);
  EXPECT_EQ(picked[89], "/i/s89.txt");
  EXPECT_EQ(picked[90], "/i/s90.txt");
  EXPECT_EQ(picked[91], "/i/s92.txt");
  // Without search words only the newest are taken.
  EXPECT_EQ(SmartSearch::pick(shards, QuickFind::words("find me"), titled).size(), 90u);
  // Beyond the 600 after the newest nothing is looked at.
  auto rare = [](const std::string& sid) { return sid == "s700" ? "login" : ""; };
  EXPECT_EQ(SmartSearch::pick(shards, QuickFind::words("login"), rare).size(), 90u);
}

TEST_F(SmartTest, ImagesAreNotFillUpButMayBeBestMatches) {
  std::vector<Work> works = {work("/w/shots/LOGIN.PNG", t0 + 3), work("/w/shots/other.PNG", t0 + 2),
                             work("/w/notes/plan.md", t0 + 1), work("/elsewhere/login.txt", t0)};
  auto chosen = SmartSearch::fileCatalog("login", works, "/w");
  std::vector<std::string> paths;
  for (const Work& w : chosen) paths.push_back(w.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"/w/shots/LOGIN.PNG", "/elsewhere/login.txt",
                                             "/w/notes/plan.md"}));
  // A path below the works folder is matched without the folder's own name.
  std::vector<Work> below = {work("/docs/claude/report.md", t0), work("/docs/claude/z.md", t0 + 5)};
  auto filled = SmartSearch::fileCatalog("claude", below, "/docs/claude");
  ASSERT_EQ(filled.size(), 2u);
  EXPECT_EQ(filled[0].path, "/docs/claude/report.md");
}

TEST_F(SmartTest, PromptListsConversationsThenFilesBelowTheWorksFolder) {
  SmartSearch::Entry e{"s1", "Shop", "shop", "8.1.27", {"first", "last"}};
  std::string text = SmartSearch::prompt("the login page", {e}, {work("/w/a/b.md", t0)}, "/w");
  EXPECT_TRUE(Text::startsWith(text, "You help find a past conversation or a file"));
  EXPECT_TRUE(Text::contains(text, "The user is looking for: the login page\n\n"));
  EXPECT_TRUE(
      Text::contains(text,
                     "NONE.\n\n[c1] 8.1.27 · Shop · shop :: first / last\n\nFILES (path below the "
                     "documents folder, date):\n[f1] a/b.md · "));
}

// ---- the answer ----

TEST_F(SmartTest, AnswerLinesBecomeRowsOnceEachAndAtMostSix) {
  std::vector<SmartSearch::Entry> entries;
  for (int i = 1; i <= 8; ++i)
    entries.push_back({"s" + std::to_string(i), "T" + std::to_string(i), "p", "1.1.27", {"x"}});
  std::vector<Work> files = {work("/w/a.md", t0), work("/w/d/b.md", t0)};

  auto one = SmartSearch::rows(
      " [c3] |  the login fix \nNONE\nc3 | again\nc03 | padded\n"
      "c99 | unknown\nSure, here you go:\nf2 | its notes",
      entries, files, "/w", Panel::workRow);
  ASSERT_EQ(one.size(), 2u) << one.dump();
  EXPECT_EQ(one[0]["sid"], "s3");
  EXPECT_EQ(one[0]["title"], "T3");
  EXPECT_EQ(one[0]["why"], "the login fix");
  EXPECT_EQ(one[0]["total"], 0);
  EXPECT_TRUE(one[0]["hits"].empty());
  EXPECT_EQ(one[1]["path"], "/w/d/b.md");
  EXPECT_EQ(one[1]["folder"], "d");
  EXPECT_EQ(one[1]["file"], true);
  EXPECT_EQ(one[1]["why"], "its notes");

  auto seven = SmartSearch::rows("c1|a\nc2|b\nc3|c\nc4|d\nc5|e\nc6|f\nc7|g", entries, files, "/w");
  ASSERT_EQ(seven.size(), 6u);
  EXPECT_EQ(seven[5]["sid"], "s6");
  // A bare id has no reason.
  EXPECT_EQ(SmartSearch::rows("c2", entries, files, "/w")[0]["why"], "");
}

// ---- asking the agent ----

TEST_F(SmartTest, AgentGetsThePromptTheArgumentsAndThinkingOff) {
  std::string seen = home.path() + "/seen";
  std::string program =
      agent("printf '%s|' \"$@\" > " + seen + ".args\n" + "env > " + seen + ".env\npwd > " + seen +
            ".cwd\ncat > " + seen + ".in\necho 'c1 | yes'\n");
  auto answer = SmartSearch::ask(program, "the prompt", 20);
  ASSERT_TRUE(answer.text) << answer.error;
  EXPECT_EQ(*answer.text, "c1 | yes\n");
  EXPECT_EQ(Files::read(seen + ".args").value_or(""),
            "-p|--model|sonnet|--no-session-persistence|--tools||--strict-mcp-config|"
            "--setting-sources||");
  std::string env = Files::read(seen + ".env").value_or("");
  EXPECT_TRUE(Text::contains(env, "MAX_THINKING_TOKENS=0\n"));
  EXPECT_TRUE(Text::contains(env, "CLAUDE_CODE_DISABLE_THINKING=1\n"));
  EXPECT_EQ(Files::read(seen + ".in").value_or(""), "the prompt");
  const char* tmp = std::getenv("TMPDIR");
  EXPECT_EQ(Text::trim(Files::read(seen + ".cwd").value_or("")),
            tmp && Files::isDirectory(tmp) ? tmp : "/tmp");
}

TEST_F(SmartTest, AgentFailuresSayWhy) {
  auto failing = SmartSearch::ask(agent("cat >/dev/null\necho 'bad key\nreally' >&2\necho out\n"
                                        "exit 3\n"),
                                  "p", 20);
  EXPECT_FALSE(failing.text);
  EXPECT_EQ(failing.error, "exit 3: bad key really out ");

  auto silent = SmartSearch::ask(agent("sleep 30\n"), "p", 0.5);
  EXPECT_FALSE(silent.text);
  EXPECT_TRUE(Text::startsWith(silent.error, "exit killed after 0.5s")) << silent.error;

  auto missing = SmartSearch::ask(home.path() + "/no-such-agent", "p", 5);
  EXPECT_TRUE(Text::startsWith(missing.error, "launch: ")) << missing.error;

  // Long error text is cut at 300 characters.
  auto chatty =
      SmartSearch::ask(agent("head -c 1000 /dev/zero | tr '\\0' e >&2\nexit 1\n"), "p", 20);
  EXPECT_EQ(Text::length(chatty.error), std::string("exit 1: ").size() + 300);
}

TEST_F(SmartTest, AnAgentThatStopsReadingALargePromptNeitherHangsNorKillsUs) {
  std::string big(8 * 1024 * 1024, 'x');
  auto answer = SmartSearch::ask(agent("echo 'c1 | early'\n"), big, 20);
  ASSERT_TRUE(answer.text) << answer.error;
  EXPECT_EQ(*answer.text, "c1 | early\n");
}

// ---- whole runs ----

TEST_F(SmartTest, ShortQuestionsAreNotSentAndEveryRunIsLogged) {
  std::string asked = home.path() + "/asked";
  agent("cat > " + asked + "\necho 'c1 | the cart'\n");
  std::string s = shard("s1", shardLine(t0, "y", "fix the cart"));

  EXPECT_FALSE(SmartSearch::run(" ab ", options({s})).rows);
  EXPECT_FALSE(Files::exists(asked));
  EXPECT_TRUE(Text::contains(logText(), " skip short: ab\n"));

  auto found = SmartSearch::run("abc", options({s}));
  ASSERT_TRUE(found.rows) << found.error;
  ASSERT_EQ(found.rows->size(), 1u);
  EXPECT_EQ((*found.rows)[0]["title"], "title of s1");
  EXPECT_TRUE(Text::contains(Files::read(asked).value_or(""), "for: abc\n"));
  std::string log = logText();
  EXPECT_TRUE(Text::contains(log, " · 1 chats · 0 files · model ")) << log;
  EXPECT_TRUE(Text::contains(log, "s 1 results · abc\n")) << log;
}

TEST_F(SmartTest, FailedAndEmptyRunsGiveNoRowsNothingToCatalogGivesNone) {
  std::string s = shard("s1", shardLine(t0, "y", "fix the cart"));
  agent("cat >/dev/null\necho 'no credit' >&2\nexit 3\n");
  auto failed = SmartSearch::run("the cart", options({s}));
  EXPECT_FALSE(failed.rows);
  EXPECT_TRUE(Text::contains(logText(), "FAILED: exit 3: no credit  · the cart\n")) << logText();

  agent("cat >/dev/null\necho '  '\n");
  auto empty = SmartSearch::run("the cart", options({s}));
  EXPECT_FALSE(empty.rows);
  EXPECT_EQ(empty.error, "empty answer");

  agent("cat >/dev/null\necho NONE\n");
  auto none = SmartSearch::run("the cart", options({s}));
  ASSERT_TRUE(none.rows);
  EXPECT_TRUE(none.rows->empty());

  auto nothing = SmartSearch::run("the cart", options({}));
  ASSERT_TRUE(nothing.rows);
  EXPECT_TRUE(nothing.rows->empty());
  EXPECT_TRUE(Text::contains(logText(), "s 0 results · the cart\n"));
}

TEST_F(SmartTest, WithoutAnAgentTheRunFails) {
  const char* was = std::getenv("PATH");
  const std::string path = was ? was : "";
  ::setenv("PATH", "/nonexistent", 1);
  auto result = SmartSearch::run("the cart", options({}));
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_FALSE(result.rows);
  EXPECT_TRUE(Text::contains(logText(), " no claude binary found\n"));
}
