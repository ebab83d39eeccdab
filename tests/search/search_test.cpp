#include "search/search.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <string>
#include <vector>

#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "search/index.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

using Records::Json;

namespace {

constexpr Clock::Time t0 = 1.8e9;

bool grepHere() {
  return Files::isExecutableFile(Search::kGrep);
}

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!grepHere()) GTEST_SKIP() << Search::kGrep << " is not installed here";
  }
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock{t0 + 86400};

  // A transcript of prompts, each at its time.
  void conversation(const std::string& sid, const std::vector<std::pair<std::string, double>>& said,
                    const std::string& project = "-home-dana-shop") {
    std::vector<Json> records;
    for (const auto& [text, at] : said) records.push_back(Records::user(text, t0 + at));
    writeTranscript(home, sid, Records::lines(records), project);
  }
  std::vector<Search::Conversation> search(const std::string& query) {
    Index::refresh(true);
    return Search::run(query);
  }
};

std::vector<std::string> sids(const std::vector<Search::Conversation>& found) {
  std::vector<std::string> out;
  for (const auto& c : found) out.push_back(c.sid);
  return out;
}

}  // namespace

TEST_F(SearchTest, ConversationIsQuotedAndRankedByItsNewestMatches) {
  // "busy" matched 20 times long ago and lately; "quiet" once, in between. A search that
  // took each shard's first matches would quote busy's old lines and rank it second.
  std::vector<std::pair<std::string, double>> busy;
  for (int i = 0; i < 20; ++i) busy.push_back({"the login form, take " + std::to_string(i), i});
  busy.push_back({"unrelated closing words", 100});
  busy[19].second = 50;
  conversation("busy", busy);
  conversation("quiet", {{"LOGIN form once", 30}});

  auto found = search("Login Form");
  ASSERT_EQ(sids(found), (std::vector<std::string>{"busy", "quiet"}));
  const Search::Conversation& c = found[0];
  EXPECT_EQ(c.total, 20);
  ASSERT_EQ(c.hits.size(), 3u);
  EXPECT_EQ(c.hits[0].after, ", take 19");
  EXPECT_EQ(c.hits[1].after, ", take 18");
  EXPECT_EQ(c.hits[2].after, ", take 17");
  EXPECT_EQ(c.hits[0].hit, "login form");
  EXPECT_EQ(c.hits[0].before, "the ");
  EXPECT_EQ(c.hits[0].role, "you");
  EXPECT_EQ(c.sort, t0 + 50);
  EXPECT_EQ(c.project, "shop");
  EXPECT_EQ(found[1].hits[0].hit, "LOGIN form");
  EXPECT_EQ(found[1].total, 1);
}

TEST_F(SearchTest, OneCharacterFindsNothingTwoDo) {
  conversation("s1", {{"a b c xy", 1}});
  EXPECT_TRUE(search(" x ").empty());
  EXPECT_EQ(search(" xy ").size(), 1u);
}

TEST_F(SearchTest, QueriesThatLookLikeOptionsOrShellAreSearchedAsText) {
  const std::string cwd = [] {
    char buffer[4096];
    return std::string(::getcwd(buffer, sizeof buffer) ? buffer : ".");
  }();
  const bool hadX = Files::exists(cwd + "/x") || Files::exists(home.path() + "/x");
  conversation("s1", {{"pass -m to it", 1},
                      {"see --help first", 2},
                      {"never run $(touch x) here", 3},
                      {"split a;b apart", 4}});
  for (const std::string query : {"-m", "--help", "$(touch x)", "a;b"}) {
    auto found = search(query);
    ASSERT_EQ(found.size(), 1u) << query;
    EXPECT_EQ(found[0].hits[0].hit, query);
  }
  if (!hadX) {
    EXPECT_FALSE(Files::exists(cwd + "/x"));
    EXPECT_FALSE(Files::exists(home.path() + "/x"));
  }
  EXPECT_TRUE(search("-v").empty());  // an option would have inverted the match
}

TEST_F(SearchTest, TwelveNewestOfThirteenConversations) {
  for (int i = 0; i < 13; ++i) conversation("s" + std::to_string(i), {{"shared word", i}});
  auto found = search("shared");
  ASSERT_EQ(found.size(), 12u);
  EXPECT_EQ(found.front().sid, "s12");
  EXPECT_EQ(found.back().sid, "s1");
}

TEST_F(SearchTest, ManyShardsAcrossBatchesAndAMissingShardStillFindMatches) {
  // 150 shards run as three grep batches; the match sits in the oldest. A shard that
  // vanished (a dangling name) makes grep fail its batch, which must not lose the rest.
  for (int i = 0; i < 150; ++i) conversation("s" + std::to_string(i), {{"common text", i}});
  conversation("old", {{"the rare word", 0}});
  Index::refresh(true);
  for (int i = 0; i < 150; ++i)
    setModified(Index::shardPath("s" + std::to_string(i)), t0 + 1000 + i);
  setModified(Index::shardPath("old"), t0);
  ASSERT_EQ(::symlink("/nonexistent/gone", (Index::dir() + "/gone.txt").c_str()), 0);
  auto found = Search::run("RARE WORD");
  ASSERT_EQ(sids(found), std::vector<std::string>{"old"});
  auto common = Search::run("common");
  EXPECT_EQ(common.size(), 12u);
  EXPECT_EQ(common.front().sid, "s149");
}

// Every shard line begins with its message's time in digits: a number is counted, quoted
// and ranked only where the text of a message holds it.
TEST_F(SearchTest, NumbersCountInTheTextNeverInTheTime) {
  conversation("times", {{"nothing numeric here", 1}, {"still no digits", 2}});
  conversation("flight", {{"the 1800 flight lands", 3}, {"no number", 4}, {"gate 18000 too", 5}});
  // 1.8e9 and on: every epoch holds "1800" and "0000".
  EXPECT_TRUE(search("0000").empty());
  auto found = search("1800");
  ASSERT_EQ(sids(found), std::vector<std::string>{"flight"});
  EXPECT_EQ(found[0].total, 2);
  ASSERT_EQ(found[0].hits.size(), 2u);
  EXPECT_EQ(found[0].hits[0].before, "gate ");
}

// The query is literal text whatever characters it holds, and a pasted line break matches
// the space a shard holds in its place.
TEST_F(SearchTest, PatternCharactersAreLiteral) {
  conversation("s1", {{"a.b (x|y) c\\d [z] ^q e$ {2}+? and axb", 1}, {"two words", 2}});
  for (const std::string query : {"a.b", "(x|y)", "c\\d", "[z]", "^q", "e$", "{2}+?"}) {
    auto found = search(query);
    ASSERT_EQ(found.size(), 1u) << query;
    EXPECT_EQ(found[0].total, 1) << query;
    EXPECT_EQ(found[0].hits[0].hit, query);
  }
  EXPECT_EQ(search("x.b").size(), 0u);
  EXPECT_EQ(search("two\nwords").size(), 1u);
}

namespace {

// A grep that this process started and that still runs; 0 when none.
long long runningGrep() {
  auto entries = Files::list("/proc");
  if (!entries) return 0;
  for (const auto& e : *entries) {
    long long pid = 0;
    if (!Text::parseInt(e.name, pid)) continue;
    auto state = Terminals::processState(pid);
    if (!state || state->parent != ::getpid() || state->state == 'Z') continue;
    if (Text::trim(Files::read("/proc/" + e.name + "/comm").value_or("")) == "grep") return pid;
  }
  return 0;
}

}  // namespace

// A search overtaken by the next keystroke is stopped: its grep is killed, not waited for.
TEST_F(SearchTest, AStoppedSearchKillsItsGrep) {
  conversation("s1", {{"cart words", 1}});
  Index::refresh(true);
  // A shard no grep gets past: it waits for a writer of the FIFO that never comes.
  const std::string stuck = Index::dir() + "/stuck.txt";
  ASSERT_EQ(::mkfifo(stuck.c_str(), 0600), 0);
  auto unblock = [&] {
    int fd = ::open(stuck.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  };
  Terminals::Stop stop;
  std::atomic<bool> done{false};
  std::vector<Search::Conversation> found(1);
  std::thread searching([&] {
    found = Search::run("cart", &stop);
    done = true;
  });
  long long grep = 0;
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       !grep && !done && std::chrono::steady_clock::now() < until;) {
    grep = runningGrep();
    if (!grep) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GT(grep, 0) << "grep never started, or did not wait on the FIFO";
  EXPECT_FALSE(done);
  stop.stop();
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       !done && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(done) << "the stop did not end the search";
  if (!done) unblock();
  searching.join();
  EXPECT_TRUE(found.empty());
  EXPECT_FALSE(grep && Terminals::running(grep));
  // A search stopped before it begins starts no grep at all.
  EXPECT_TRUE(Search::run("cart", &stop).empty());
  EXPECT_EQ(runningGrep(), 0);
}

TEST_F(SearchTest, RepeatedMessagesCountOnceAsHits) {
  conversation("s1", {{"same words again", 1}, {"same words again", 2}, {"other same words", 3}});
  auto found = search("same words");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].hits.size(), 2u);
  EXPECT_EQ(found[0].total, 3);  // grep's count of matching lines
}

TEST(SearchPieces, HitWindowCutsSeventyCharactersEachSide) {
  auto near = Search::hit("s", "5\ty\tfind the needle here", "needle");
  ASSERT_TRUE(near);
  EXPECT_EQ(near->before, "find the ");
  EXPECT_EQ(near->after, " here");
  EXPECT_EQ(near->sort, 5);

  const std::string left(100, 'l'), right(100, 'r');
  auto middle = Search::hit("s", "0\tc\t" + left + "NeEdLe" + right, "needle");
  ASSERT_TRUE(middle);
  EXPECT_EQ(middle->before, "…" + std::string(70, 'l'));
  EXPECT_EQ(middle->hit, "NeEdLe");
  EXPECT_EQ(middle->after, std::string(70, 'r') + "…");
  EXPECT_EQ(middle->role, "claude");

  // Seventy Hebrew letters are seventy characters, not bytes.
  std::string hebrew;
  for (int i = 0; i < 80; ++i) hebrew += "ש";
  auto wide = Search::hit("s", "1\ty\t" + hebrew + " needle", "needle");
  ASSERT_TRUE(wide);
  EXPECT_EQ(Text::length(wide->before), 71u);

  EXPECT_FALSE(Search::hit("s", "1\ty", "needle"));
  EXPECT_FALSE(Search::hit("s", "1\ty\tno match", "needle"));
  EXPECT_FALSE(Search::hit("s", "1\ty\tneedle\textra", "needle"));
  EXPECT_FALSE(Search::hit("s", "1\ty\tonly the epoch matches", "1\ty"));
}

TEST(SearchPieces, GrepArgumentsAndCounts) {
  auto args = Search::grepArguments("-e", {"/a.txt"});
  ASSERT_GE(args.size(), 4u);
  EXPECT_EQ(args[args.size() - 4], "-e");
  EXPECT_EQ(args[args.size() - 3], Search::textPattern("-e"));
  EXPECT_EQ(args[args.size() - 2], "--");
  EXPECT_EQ(args[args.size() - 1], "/a.txt");
  auto counts = Search::parseCounts("/h/x.txt:3\n/h/we:ird.txt:0\ngarbage\n:4\n/h/y.txt:1x\n");
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[0], (std::pair<std::string, int64_t>{"/h/x.txt", 3}));
  EXPECT_EQ(counts[1].first, "/h/we:ird.txt");
}

TEST(SearchPieces, NewestMatchesReadBackwardsAcrossChunks) {
  std::string dir = makeTempDir();
  std::string path = dir + "/s.txt";
  std::string text;
  const std::string filler(1000, 'f');
  for (int i = 0; i < 2000; ++i) {
    text += std::to_string(i) + "\ty\t" + (i % 100 == 0 ? "Match " : "") + filler + "\n";
  }
  text += "9999\ty\tmatch still being writ";  // no line feed yet
  ASSERT_TRUE(Files::writeAtomic(path, text));
  auto found = Search::newestMatches(path, "match", 12);
  ASSERT_EQ(found.size(), 12u);
  EXPECT_TRUE(Text::startsWith(found[0], "1900\t"));
  EXPECT_TRUE(Text::startsWith(found[11], "800\t"));
  EXPECT_EQ(Search::newestMatches(path, "match", 100).size(), 20u);
  EXPECT_TRUE(Search::newestMatches(dir + "/gone.txt", "match", 5).empty());
  removeTree(dir);
}
