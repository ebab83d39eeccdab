#include "search/index.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "base/caches.h"
#include "base/file_lock.h"
#include "base/files.h"
#include "base/text.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

using Records::Json;

namespace {

constexpr Clock::Time t0 = 1.8e9;

class IndexTest : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock{t0};

  std::string shard(const std::string& sid) {
    return Files::read(Index::shardPath(sid)).value_or("<no shard>");
  }
  std::map<std::string, Index::Mark> manifest() {
    return Index::parseManifest(Files::read(Index::manifestPath()).value_or(""));
  }
  static std::string line(Clock::Time at, const char* role, const std::string& text) {
    return std::to_string(static_cast<long long>(at)) + "\t" + role + "\t" + text + "\n";
  }
};

Json said(const std::string& text, Clock::Time at) {
  return Records::assistant(Json::array({Records::text(text)}), at);
}

std::vector<std::string> shardLines(const std::string& text) {
  return Text::split(text, '\n');
}

}  // namespace

TEST_F(IndexTest, ShardHoldsPromptsAndRepliesOnlyInTheirFormat) {
  std::string path = writeTranscript(
      home, "s1",
      Records::lines({
          Records::user("Fix the\tlogin\n\nform   now", t0 + 1.75),
          Records::assistant(Json::array({Records::thinking(), Records::text("Looking"),
                                          Records::toolUse("Read"), Records::text("at it.")}),
                             t0 + 2),
          Records::toolResult("toolu_1", "file text", t0 + 3),
          Records::userBlocks(Json::array({{{"type", "tool_result"},
                                            {"tool_use_id", "x"},
                                            {"content", "no marker, still a result"}}}),
                              t0 + 4),
          Records::assistant(Json::array({Records::toolUse("Bash")}), t0 + 5),
          Records::sidechain(Records::user("side chain prompt", t0 + 6)),
          Records::user("k", t0 + 7),
          Records::user("ok", t0 + 8),
          Records::user("<system-reminder>hidden</system-reminder>  Shown text", t0 + 9),
          Records::queued("typed while busy", t0 + 10),
          Records::customTitle("A title"),
      }),
      "-home-dana-shop");
  writeSubagent(path, "agent-a1", t0);
  // A record without a time stamp still gets a line, at epoch 0.
  Json stampless = Records::user("no time here", t0);
  stampless.erase("timestamp");
  appendTranscript(path, stampless.dump() + "\n");

  Index::Report report = Index::refresh(true);
  EXPECT_TRUE(report.ran);
  EXPECT_EQ(report.listed, 1);  // the sub-agent's log is not a transcript of its own
  EXPECT_EQ(shard("s1"), line(t0 + 1, "y", "Fix the login form now") +
                             line(t0 + 2, "c", "Looking at it.") + line(t0 + 8, "y", "ok") +
                             line(t0 + 9, "y", "Shown text") + "0\ty\tno time here\n");
  EXPECT_FALSE(Files::exists(Index::shardPath("agent-a1")));

  auto marks = manifest();
  ASSERT_EQ(marks.count("s1"), 1u);
  EXPECT_EQ(marks["s1"].pos, Files::attributes(path)->size);
  EXPECT_EQ(marks["s1"].size, Files::attributes(path)->size);
  EXPECT_EQ(marks["s1"].project, "shop");
  EXPECT_EQ(marks["s1"].shard, static_cast<int64_t>(shard("s1").size()));
  EXPECT_EQ(Index::project("s1"), "shop");
  EXPECT_EQ(Index::pending(), 0);
  EXPECT_FALSE(Index::building());
}

TEST_F(IndexTest, UnchangedTranscriptIsNotOpenedAgainAndGrownOneIsAppendedOnce) {
  std::string path = writeTranscript(home, "s1", Records::lines({Records::user("first", t0)}));
  writeTranscript(home, "s2", Records::lines({Records::user("other", t0)}));
  ASSERT_EQ(Index::refresh(true).opened, 2);

  Index::Report again = Index::refresh(true);
  EXPECT_TRUE(again.ran);
  EXPECT_EQ(again.listed, 2);
  EXPECT_EQ(again.opened, 0);
  EXPECT_EQ(again.bytesRead, 0);

  // A half-written line is left for later; once finished it is indexed once.
  std::string next = said("second", t0 + 5).dump() + "\n";
  appendTranscript(path, next.substr(0, 30));
  Index::Report grown = Index::refresh(true);
  EXPECT_EQ(grown.opened, 1);
  EXPECT_EQ(grown.linesAdded, 0);
  appendTranscript(path, next.substr(30));
  Index::refresh(true);
  Index::refresh(true);
  EXPECT_EQ(shard("s1"), line(t0, "y", "first") + line(t0 + 5, "c", "second"));
  EXPECT_EQ(shard("s2"), line(t0, "y", "other"));
}

TEST_F(IndexTest, ShrunkTranscriptIsRebuiltFromTheStart) {
  std::string path = writeTranscript(
      home, "s1", Records::lines({Records::user("old one", t0), said("old two", t0 + 1)}));
  Index::refresh(true);
  Files::writeAtomic(path, Records::lines({Records::user("new", t0 + 9)}));
  Index::Report report = Index::refresh(true);
  EXPECT_EQ(report.rebuilt, 1);
  EXPECT_EQ(shard("s1"), line(t0 + 9, "y", "new"));
}

TEST_F(IndexTest, RefreshCutShortBeforeSavingItsManifestAddsNoLineTwice) {
  std::string path = writeTranscript(home, "s1", Records::lines({Records::user("one", t0)}));
  Index::refresh(true);
  const std::string saved = *Files::read(Index::manifestPath());

  // The next refresh wrote its lines and was killed before the manifest was saved.
  appendTranscript(path, Records::lines({said("two", t0 + 1), Records::user("three", t0 + 2)}));
  Index::refresh(true);
  const std::string whole = shard("s1");
  ASSERT_EQ(whole, line(t0, "y", "one") + line(t0 + 1, "c", "two") + line(t0 + 2, "y", "three"));
  Files::writeAtomic(Index::manifestPath(), saved);
  // ... and a part of a line too, as a write cut short leaves it.
  Files::append(Index::shardPath("s1"), "1800000003\tc\thalf a li");
  Caches::emptyAll();  // the next Velmo starts with nothing in memory

  Index::refresh(true);
  EXPECT_EQ(shard("s1"), whole);
}

TEST_F(IndexTest, LostManifestOrLostShardStartsTheShardAfresh) {
  std::string path =
      writeTranscript(home, "s1", Records::lines({Records::user("one", t0), said("two", t0 + 1)}));
  Index::refresh(true);
  const std::string whole = shard("s1");

  ASSERT_TRUE(Files::writeAtomic(Index::manifestPath(), "{not json"));
  Index::refresh(true);
  EXPECT_EQ(shard("s1"), whole);

  // A shard shorter than its mark lost lines; growing the transcript rebuilds it whole.
  Files::writeAtomic(Index::shardPath("s1"), line(t0, "y", "one"));
  appendTranscript(path, Records::lines({Records::user("three", t0 + 2)}));
  Index::refresh(true);
  EXPECT_EQ(shard("s1"), whole + line(t0 + 2, "y", "three"));
}

TEST_F(IndexTest, UnforcedRefreshIsThrottledForTwentySeconds) {
  std::string path = writeTranscript(home, "s1", Records::lines({Records::user("one", t0)}));
  EXPECT_TRUE(Index::refresh(false).ran);
  appendTranscript(path, Records::lines({Records::user("two", t0 + 1)}));
  clock.advance(10);
  EXPECT_FALSE(Index::refresh(false).ran);
  EXPECT_EQ(shard("s1"), line(t0, "y", "one"));
  clock.advance(10.5);
  EXPECT_TRUE(Index::refresh(false).ran);
  EXPECT_EQ(shard("s1"), line(t0, "y", "one") + line(t0 + 1, "y", "two"));
}

TEST_F(IndexTest, LinesLongerThanAReadAreJoinedAndHugeOnesSkipped) {
  // A prompt that spans two reads is indexed whole; a tool result larger than any line
  // is kept in memory is passed over; what follows both is indexed.
  const std::string longPrompt = "start " + std::string(5 << 20, 'p') + " end";
  const std::string huge = R"({"type":"assistant","message":{"content":[{"type":"text","text":")" +
                           std::string(33u << 20, 'h') + "\"}]}}\n";
  std::string path = writeTranscript(home, "s1",
                                     Records::lines({Records::user(longPrompt, t0)}) + huge +
                                         Records::lines({Records::user("after both", t0 + 2)}));
  Index::refresh(true);
  auto lines = shardLines(Files::read(Index::shardPath("s1"), 64 << 20).value_or(""));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], line(t0, "y", longPrompt).substr(0, lines[0].size()));
  EXPECT_EQ(lines[0].size() + 1, line(t0, "y", longPrompt).size());
  EXPECT_EQ(lines[1] + "\n", line(t0 + 2, "y", "after both"));
  EXPECT_EQ(manifest()["s1"].pos, Files::attributes(path)->size);
}

TEST_F(IndexTest, ShardsComeNewestFirst) {
  writeTranscript(home, "a", Records::lines({Records::user("aa", t0)}));
  writeTranscript(home, "b", Records::lines({Records::user("bb", t0)}));
  writeTranscript(home, "c", Records::lines({Records::user("cc", t0)}));
  Index::refresh(true);
  setModified(Index::shardPath("a"), t0 + 30);
  setModified(Index::shardPath("b"), t0 + 10);
  setModified(Index::shardPath("c"), t0 + 20);
  std::vector<std::string> names;
  for (const auto& p : Index::shardsByRecency()) names.push_back(Files::baseName(p));
  EXPECT_EQ(names, (std::vector<std::string>{"a", "c", "b"}));  // never the manifest
}

TEST(IndexPieces, ProjectLabels) {
  ScopedLanguage english("en");
  EXPECT_EQ(Index::projectLabel("-home-dana-shop"), "shop");
  EXPECT_EQ(Index::projectLabel("-home-dana"), "home");
  EXPECT_EQ(Index::projectLabel("-root"), "home");
  EXPECT_EQ(Index::projectLabel("---"), "");
  EXPECT_EQ(Index::projectLabel("-home-dana-my-app"), "app");
  ScopedLanguage hebrew("he");
  EXPECT_EQ(Index::projectLabel("-home-dana"), "בית");
}

TEST(IndexPieces, CleaningAndShortTexts) {
  EXPECT_EQ(Index::clean("a\tb\n\nc"), "a b c");
  EXPECT_EQ(Index::clean("  x \r\n  y  "), "x y");
  EXPECT_FALSE(Index::shardLine(Records::user("é", t0).dump()));  // one character, two bytes
  EXPECT_TRUE(Index::shardLine(Records::user("שם", t0).dump()));
  EXPECT_FALSE(Index::shardLine("{not json"));
  EXPECT_FALSE(Index::shardLine(R"({"type":"user","message":{"content":42}})"));
}

TEST(IndexPieces, ManifestEntriesOfTheWrongShapeAreDropped) {
  auto marks = Index::parseManifest(
      R"({"a":{"pos":10,"size":20,"project":"shop","shard":7},"b":{"pos":"10","size":2},)"
      R"("c":[1,2],"d":{"pos":-1,"size":3},"e":{"pos":0,"size":0}})");
  EXPECT_EQ(marks.size(), 2u);
  EXPECT_EQ(marks["a"].shard, 7);
  EXPECT_FALSE(marks["e"].shard.has_value());
  auto again = Index::parseManifest(Index::manifestText(marks));
  EXPECT_EQ(again["a"].pos, 10);
  EXPECT_EQ(again["a"].project, "shop");
  EXPECT_EQ(again["a"].shard, 7);
}

TEST_F(IndexTest, ARefreshAnotherVelmoRunsOnTheSameHomeIsLeftToIt) {
  writeTranscript(home, "s1", Records::lines({Records::user("first", t0)}));
  Files::makeDirectories(Index::dir(), 0700);
  {
    auto other = FileLock::tryTake(Index::dir() + "/.refresh.lock");
    ASSERT_TRUE(other.has_value());
    Index::Report held = Index::refresh(true);
    EXPECT_FALSE(held.ran);
    EXPECT_FALSE(Files::exists(Index::shardPath("s1")));
    EXPECT_FALSE(Index::building()) << "a refresh left to another must not stay busy";
  }
  EXPECT_EQ(Index::refresh(true).opened, 1);
  EXPECT_EQ(shard("s1"), line(t0, "y", "first"));
}
