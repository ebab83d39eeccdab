#include "search/quick_find.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "search/index.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

namespace {

constexpr Clock::Time t0 = 1.8e9;

std::vector<std::string> sidsOf(const nlohmann::json& rows) {
  std::vector<std::string> out;
  for (const auto& row : rows) out.push_back(row["sid"]);
  return out;
}

std::vector<std::string> namesOf(const std::vector<Work>& works) {
  std::vector<std::string> out;
  for (const auto& w : works) out.push_back(w.name);
  return out;
}

}  // namespace

TEST(QuickFindWords, FillerPrefixesAndSeparators) {
  using Groups = std::vector<QuickFind::Group>;
  EXPECT_EQ(QuickFind::words("find me the"), Groups{});
  EXPECT_EQ(QuickFind::words("איפה השיחה על החנות?"), (Groups{{"החנות", "חנות"}}));
  // Three letters stay as they are; other punctuation stays inside the word.
  EXPECT_EQ(QuickFind::words("בית,Login.Form  x"), (Groups{{"בית"}, {"login.form"}}));
  EXPECT_EQ(QuickFind::words("shop shop"), (Groups{{"shop"}, {"shop"}}));
  EXPECT_TRUE(QuickFind::matchesAll(QuickFind::words("בחנות login"), "login בחנות החדשה"));
  EXPECT_TRUE(QuickFind::matchesAll(QuickFind::words("בחנות"), "חנות ספרים"));
  EXPECT_FALSE(QuickFind::matchesAll(QuickFind::words("בחנות login"), "חנות"));
}

TEST(QuickFindChats, TitleOrProjectHoldsEveryWord) {
  ScopedHome home;
  ScopedLanguage english("en");
  FakeClock clock(t0);
  using Records::user;
  writeTranscript(home, "a", Records::lines({user("hello", t0)}), "-home-dana-חנות");
  writeTranscript(home, "b", Records::lines({user("hello", t0)}), "-home-dana-shop");
  writeTranscript(home, "c", Records::lines({user("hello", t0)}), "-home-dana-blog");
  Index::refresh(true);
  setModified(Index::shardPath("a"), t0 + 3);
  setModified(Index::shardPath("b"), t0 + 2);
  setModified(Index::shardPath("c"), t0 + 1);
  auto titles = [](const std::string& sid) { return sid == "b" ? "Login form fixes" : ""; };

  EXPECT_EQ(sidsOf(QuickFind::chatsJson("בחנות", titles)), std::vector<std::string>{"a"});
  EXPECT_EQ(sidsOf(QuickFind::chatsJson("login shop", titles)), std::vector<std::string>{"b"});
  EXPECT_TRUE(QuickFind::chatsJson("find the", titles).empty());
  auto rows = QuickFind::chatsJson("blog", titles);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["title"], "untitled conversation");
  EXPECT_EQ(rows[0]["total"], 0);
  EXPECT_FALSE(rows[0]["when"].get<std::string>().empty());
}

TEST(QuickFindChats, KnownTitleComesFromTheNameThenTheRememberedTitle) {
  ScopedHome home;
  home.write(".claude/velmo-names.json", R"({"a":"My name"})");
  home.write(".claude/velmo-titles.json", R"({"a":[10,"Stored"],"b":[10,"Stored b"],"c":"bad"})");
  EXPECT_EQ(QuickFind::knownTitle("a"), "My name");
  EXPECT_EQ(QuickFind::knownTitle("b"), "Stored b");
  EXPECT_EQ(QuickFind::knownTitle("c"), "");
}

TEST(QuickFindFiles, MatchedOnThePathBelowTheWorksFolderAndRankedByName) {
  const std::string root = "/home/dana/Documents/claude";
  auto work = [](std::string path, std::string name, Clock::Time modified) {
    Work w;
    w.path = std::move(path);
    w.name = std::move(name);
    w.modified = modified;
    return w;
  };
  std::vector<Work> works = {
      work(root + "/shop/notes.md", "notes.md", 5),
      work(root + "/shop/login.md", "login.md", 1),
      work(root + "/blog/login/draft.md", "draft.md", 9),
      work("/elsewhere/documents/login.txt", "login.txt", 3),
  };
  EXPECT_EQ(namesOf(QuickFind::files("login", works, root)),
            (std::vector<std::string>{"login.txt", "login.md", "draft.md"}));
  // "documents" and "claude" lie above the works folder, so they match only outside it.
  EXPECT_EQ(namesOf(QuickFind::files("documents", works, root)),
            std::vector<std::string>{"login.txt"});
  EXPECT_TRUE(QuickFind::files("the", works, root).empty());
}
