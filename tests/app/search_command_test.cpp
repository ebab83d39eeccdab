// `velmo --search` as a person runs it: the real program in a temporary home.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/process.h"
#include "search/index.h"
#include "search/search.h"
#include "sessions/language.h"
#include "support/home.h"
#include "support/transcripts.h"

namespace {

constexpr Clock::Time t0 = 1.8e9;

class SearchCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Files::isExecutableFile(VELMO_BINARY))
      GTEST_SKIP() << "the velmo program is not built (" << VELMO_BINARY << ")";
    if (!Files::isExecutableFile(Search::kGrep))
      GTEST_SKIP() << Search::kGrep << " is not installed here";
    using Records::user;
    writeTranscript(home, "shop-1",
                    Records::lines({user("pass -m and --help to it", t0),
                                    user("never run $(touch x) nor a;b", t0 + 1),
                                    user("the cart total is off", t0 + 2)}),
                    "-home-dana-חנות");
    writeTranscript(home, "blog-1", Records::lines({user("a post about the cart", t0 + 3)}),
                    "-home-dana-blog");
  }

  nlohmann::json run(const std::vector<std::string>& args) {
    auto out = Terminals::shellOutcome(VELMO_BINARY, args, 60);
    EXPECT_TRUE(out.finished);
    EXPECT_EQ(out.status, 0) << out.output;
    auto json = nlohmann::json::parse(out.output, nullptr, false);
    EXPECT_TRUE(json.is_object()) << out.output;
    return json;
  }
  nlohmann::json search(const std::string& text) { return run({"--search", text}); }

  ScopedHome home;
  ScopedLanguage english{"en"};
};

std::vector<std::string> sids(const nlohmann::json& rows) {
  std::vector<std::string> out;
  for (const auto& row : rows) out.push_back(row.value("sid", ""));
  return out;
}

}  // namespace

TEST_F(SearchCommandTest, RefreshesTheIndexAndPrintsEveryKindOfResult) {
  auto payload = search("cart");
  EXPECT_TRUE(Files::exists(Index::shardPath("shop-1")));
  EXPECT_EQ(payload["query"], "cart");
  EXPECT_EQ(sids(payload["hits"]), (std::vector<std::string>{"blog-1", "shop-1"}));
  EXPECT_EQ(payload["hits"][1]["hits"][0]["after"], " total is off");
  EXPECT_EQ(payload["hits"][1]["project"], "חנות");
  EXPECT_TRUE(payload["titles"].is_array());
  EXPECT_TRUE(payload["files"].is_array());
  EXPECT_EQ(run({"--search=cart"})["hits"].size(), 2u);
}

TEST_F(SearchCommandTest, OptionsAndShellTextAreSearchedNeverRun) {
  for (const std::string query : {"-m", "--help", "$(touch x)", "a;b"}) {
    auto payload = search(query);
    ASSERT_EQ(payload["hits"].size(), 1u) << query;
    EXPECT_EQ(payload["hits"][0]["hits"][0]["hit"], query);
  }
  EXPECT_FALSE(Files::exists(home.path() + "/x"));
  EXPECT_FALSE(Files::exists(home.path() + "/.claude/velmo-index/x"));
}

TEST_F(SearchCommandTest, OneCharacterFindsNothingTwoDo) {
  EXPECT_TRUE(search("c")["hits"].empty());
  EXPECT_EQ(search("ca")["hits"].size(), 2u);
}

TEST_F(SearchCommandTest, HebrewWordBehindAPrefixAndFillerWords) {
  EXPECT_EQ(sids(search("בחנות")["titles"]), std::vector<std::string>{"shop-1"});
  EXPECT_TRUE(search("find me the")["titles"].empty());
  EXPECT_EQ(sids(search("find the blog")["titles"]), std::vector<std::string>{"blog-1"});
}

// The messages were sent at 1800000000 and the seconds after: a number in every time but
// in no text finds nothing, and one also in a text counts that message alone.
TEST_F(SearchCommandTest, ANumberInMessageTimesButNotInTheTextFindsNothing) {
  EXPECT_EQ(search("18000")["hits"], nlohmann::json::array());
  EXPECT_EQ(search("0000")["hits"], nlohmann::json::array());
  writeTranscript(home, "plan-1",
                  Records::lines({Records::user("ship order 18000 today", t0 + 4),
                                  Records::user("nothing here", t0 + 5)}),
                  "-home-dana-plan");
  auto found = search("18000")["hits"];
  ASSERT_EQ(sids(found), std::vector<std::string>{"plan-1"});
  EXPECT_EQ(found[0]["total"], 1);
  EXPECT_EQ(found[0]["hits"][0]["before"], "ship order ");
}

TEST_F(SearchCommandTest, MissingTextIsAUsageError) {
  auto out = Terminals::shellOutcome(VELMO_BINARY, {"--search"}, 60);
  EXPECT_EQ(out.status, 2);
  EXPECT_TRUE(out.output.empty());
}
