#include "search/titles.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/caches.h"
#include "base/files.h"
#include "support/home.h"
#include "support/transcripts.h"
#include "terminals/names.h"

namespace {

constexpr Clock::Time t0 = 1.8e9;

std::string repeat(const std::string& piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Filler the size of `bytes`, shaped like a transcript line with no title in it.
std::string filler(size_t bytes) {
  std::string line = Records::user(repeat("z", 990), t0).dump() + "\n";
  std::string out;
  while (out.size() < bytes) out += line;
  return out;
}

struct TitlesTest : ::testing::Test {
  ScopedHome home;
  void SetUp() override {
    if (!Files::isExecutableFile("/usr/bin/grep"))
      GTEST_SKIP() << "titles are found with /usr/bin/grep, absent here";
    Caches::emptyAll();
  }
  void TearDown() override { Caches::emptyAll(); }
};

}  // namespace

TEST_F(TitlesTest, LastCustomTitleWinsOverALaterGeneratedOne) {
  writeTranscript(home, "s1",
                  Records::lines({Records::aiTitle("First guess"), Records::customTitle("Mine"),
                                  Records::user("hi", t0), Records::customTitle("Mine again"),
                                  Records::aiTitle("Later guess")}));
  EXPECT_EQ(Titles::of("s1"), "Mine again");
  writeTranscript(home, "s2", Records::lines({Records::aiTitle("One"), Records::aiTitle("Two")}));
  EXPECT_EQ(Titles::of("s2"), "Two");
  writeTranscript(home, "s3", Records::lines({Records::user("no title", t0)}));
  EXPECT_EQ(Titles::of("s3"), "");
  EXPECT_EQ(Titles::of("no-such-session"), "");
  EXPECT_EQ(Titles::of(""), "");
}

TEST_F(TitlesTest, EscapedQuotesAndHebrewComeBackWhole) {
  // As the agent writes it: UTF-8 as is, quotes and backslashes escaped.
  std::string quoted = "מסוף \"מרכזי\" \\ שלב ב";
  writeTranscript(home, "s1",
                  Records::lines({Records::customTitle(quoted), Records::user("hi", t0)}));
  EXPECT_EQ(Titles::of("s1"), quoted);
  // A title record quoted inside another record's text is not a title.
  writeTranscript(home, "s2", Records::lines({Records::user("{\"customTitle\":\"fake\"}", t0)}));
  EXPECT_EQ(Titles::of("s2"), "");
}

TEST_F(TitlesTest, TitlesOverTwoHundredCharactersAreNotFound) {
  writeTranscript(
      home, "s1",
      Records::lines({Records::aiTitle("Short"), Records::customTitle(repeat("א", 201))}));
  EXPECT_EQ(Titles::of("s1"), "Short");
  // 200 Hebrew characters are 400 bytes and still a title.
  writeTranscript(home, "s2", Records::lines({Records::customTitle(repeat("א", 200))}));
  EXPECT_EQ(Titles::of("s2"), repeat("א", 200));
}

TEST(TitlesMatches, DecodingEdgeCases) {
  EXPECT_EQ(Titles::fromMatches("\"customTitle\":\"a\\u05d0\\n\"\n"), "a\xd7\x90\n");
  // A lone surrogate escape becomes U+FFFD instead of losing the title.
  EXPECT_EQ(Titles::fromMatches("\"aiTitle\":\"x\\ud800\"\n"), "x\xef\xbf\xbd");
  // An empty custom title does not hide the generated one; a broken value is skipped.
  EXPECT_EQ(Titles::fromMatches(
                "\"aiTitle\":\"Gen\"\n\"customTitle\":\"\"\n\"customTitle\":\"bad\\q\"\n"),
            "Gen");
}

TEST_F(TitlesTest, TheMemoIsSearchedAgainOnlyAfterAboutAMegabyteOfGrowth) {
  std::string path = writeTranscript(home, "s1", Records::lines({Records::customTitle("Before")}));
  EXPECT_EQ(Titles::of("s1"), "Before");
  appendTranscript(path, Records::lines({Records::customTitle("After")}) + filler(500'000));
  EXPECT_EQ(Titles::of("s1"), "Before") << "searched again after 500 KB";
  appendTranscript(path, filler(500'000));
  EXPECT_EQ(Titles::of("s1"), "After") << "not searched again after 1 MB";

  // A transcript that shrank keeps its title.
  Files::writeAtomic(path, Records::lines({Records::customTitle("Rewritten")}));
  EXPECT_EQ(Titles::of("s1"), "After");
}

TEST_F(TitlesTest, KnownNeverReadsATranscriptAndTheUserNameComesFirst) {
  std::string path = writeTranscript(home, "s1", Records::lines({Records::customTitle("Agent's")}));
  EXPECT_EQ(Titles::known("s1"), "") << "known searched the transcript";
  EXPECT_EQ(Titles::of("s1"), "Agent's");
  EXPECT_EQ(Titles::known("s1"), "Agent's");
  Names::set("Mine", "s1");
  EXPECT_EQ(Titles::known("s1"), "Mine");
  EXPECT_EQ(Titles::of("s1"), "Mine");
}

TEST_F(TitlesTest, TheMemoSurvivesInItsFileAndABadFileCountsAsEmpty) {
  writeTranscript(home, "s1", Records::lines({Records::customTitle("Kept")}));
  home.write(".claude/velmo-titles.json", R"({"old":[12,"Old title"],"bad":"x","odd":[1]})");
  EXPECT_EQ(Titles::known("old"), "Old title");
  EXPECT_EQ(Titles::known("bad"), "");
  EXPECT_EQ(Titles::of("s1"), "Kept");
  Titles::save();
  auto saved = nlohmann::json::parse(*Files::read(home.agent("velmo-titles.json")));
  EXPECT_EQ(saved["old"], nlohmann::json::array({12, "Old title"}));
  EXPECT_EQ(saved["s1"][1], "Kept");
  EXPECT_FALSE(saved.contains("bad"));

  home.write(".claude/velmo-titles.json", "not json");
  Caches::emptyAll();
  EXPECT_EQ(Titles::known("old"), "");
}
