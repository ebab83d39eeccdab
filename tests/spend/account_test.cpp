// The account across refreshes: each message counted once with its final usage, however its
// records fall across refreshes, files, forks and rewritten files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "base/files.h"
#include "spend/keys.h"
#include "spend/store.h"
#include "spend_support.h"

namespace {

using Spend::Counters;
using SpendTest::reply;
using SpendTest::Usage;

class AccountTest : public SpendTest::SpendFixture {
 protected:
  double now() { return clock.now(); }
  // A forced refresh, as the spend board's opening and `velmo --spend` do.
  void refresh() { ASSERT_TRUE(Spend::refresh(true)); }
};

TEST_F(AccountTest, AReplyReadHalfBeforeARefreshCountsItsFinalUsageOnce) {
  std::string path = log("s1", reply("m1", now(), {.input = 4, .output = 10, .read = 50}));
  refresh();
  EXPECT_EQ(model(), (Counters{4, 10, 0, 0, 50, 1}));
  // The rest of the reply arrives: two more records of the same message, growing.
  appendTranscript(path, reply("m1", now(), {.input = 4, .output = 70, .read = 50}) +
                             reply("m1", now(), {.input = 4, .output = 90, .read = 50}));
  refresh();
  EXPECT_EQ(model(), (Counters{4, 90, 0, 0, 50, 1}));
  // And the same final record once more changes nothing.
  appendTranscript(path, reply("m1", now(), {.input = 4, .output = 90, .read = 50}));
  refresh();
  EXPECT_EQ(model(), (Counters{4, 90, 0, 0, 50, 1}));
  EXPECT_EQ(session("s1").models["claude-opus-4-5"].output, 90);
}

TEST_F(AccountTest, AHalfLineIsReadWhenItIsFinished) {
  std::string first = reply("a", now(), {.output = 3});
  std::string second = reply("b", now(), {.output = 5});
  std::string path = log("s1", first + second.substr(0, 40));
  refresh();
  EXPECT_EQ(model().output, 3);
  appendTranscript(path, second.substr(40));
  refresh();
  EXPECT_EQ(model(), (Counters{0, 8, 0, 0, 0, 2}));
}

TEST_F(AccountTest, ASubAgentCountsTowardItsSession) {
  log("s1", reply("main", now(), {.output = 10}));
  subLog("s1", "a1", reply("sub", now(), {.output = 4}, "claude-haiku-4-5"));
  refresh();
  auto s = session("s1");
  EXPECT_EQ(s.models["claude-opus-4-5"].output, 10);
  EXPECT_EQ(s.models["claude-haiku-4-5"].output, 4);
  EXPECT_EQ(s.project, "shop");
}

TEST_F(AccountTest, AShrunkLogTakesBackOnlyItsOwnCounts) {
  std::string main =
      log("s1", reply("m1", now(), {.output = 100}) + reply("m2", now(), {.output = 200}));
  std::string sub =
      subLog("s1", "a1", reply("x1", now(), {.output = 7}) + reply("x2", now(), {.output = 8}));
  refresh();
  EXPECT_EQ(model().output, 315);

  // The sub-agent's log is rewritten shorter: the main log keeps its counts.
  Files::writeAtomic(sub, reply("x3", now(), {.output = 1}));
  refresh();
  EXPECT_EQ(model(), (Counters{0, 301, 0, 0, 0, 3}));
  std::string hour = Spend::hourKey(now());
  auto hours = Spend::account().inspect([](const Spend::Store& s) { return s.hours; });
  EXPECT_EQ(hours[hour]["claude-opus-4-5"].output, 301) << "the file's hours counted twice";
  EXPECT_EQ(session("s1").daily[Spend::dayKey(now())]["claude-opus-4-5"].output, 301);

  // The main log shrinks too; the sub-agent's new count stays.
  Files::writeAtomic(main, reply("m1", now(), {.output = 100}));
  refresh();
  EXPECT_EQ(model(), (Counters{0, 101, 0, 0, 0, 2}));
}

TEST_F(AccountTest, AForkAddsOnlyItsNewMessages) {
  std::string history = reply("m1", now() - 60, {.input = 1, .output = 100}) +
                        reply("m2", now() - 30, {.input = 1, .output = 200});
  std::string original = log("orig", history);
  setModified(original, now() - 20);
  refresh();
  // `--fork-session` starts a new transcript repeating every earlier record.
  log("fork", history + reply("m3", now(), {.input = 1, .output = 5}));
  refresh();
  EXPECT_EQ(model(), (Counters{3, 305, 0, 0, 0, 3}));
  EXPECT_EQ(session("orig").models["claude-opus-4-5"].output, 300);
  EXPECT_EQ(session("fork").models["claude-opus-4-5"], (Counters{1, 5, 0, 0, 0, 1}));
}

TEST_F(AccountTest, AForkReadInTheSameRefreshAsItsOriginalIsNotCountedTwice) {
  std::string history =
      reply("m1", now() - 60, {.output = 100}) + reply("m2", now(), {.output = 200});
  std::string original = log("orig", history);
  std::string fork = log("fork", history + reply("m3", now(), {.output = 5}));
  setModified(original, now() - 20);
  setModified(fork, now() - 10);
  refresh();
  EXPECT_EQ(model(), (Counters{0, 305, 0, 0, 0, 3}));
  EXPECT_EQ(session("orig").models["claude-opus-4-5"].output, 300);
  EXPECT_EQ(session("fork").models["claude-opus-4-5"].output, 5);
  // Growth of a repeated message in the fork is the original's, not the fork's to count.
  appendTranscript(fork, reply("m2", now(), {.output = 900}));
  refresh();
  EXPECT_EQ(model().output, 305);
}

TEST_F(AccountTest, PlaceholderModelsAreNotCounted) {
  log("s1", reply("p1", now(), {.input = 5, .output = 5}, "<synthetic>") +
                reply("m1", now(), {.output = 1}));
  refresh();
  auto all = Spend::allModels();
  EXPECT_EQ(all.size(), 1u);
  EXPECT_EQ(all.count("<synthetic>"), 0u);
}

TEST_F(AccountTest, HoursAreKeptTwentyOneDaysAndDaysFourteen) {
  double day = 86400;
  std::string path = log("s1", reply("old", now() - 22 * day, {.output = 1}) +
                                   reply("d20", now() - 20 * day, {.output = 2}) +
                                   reply("d13", Spend::daysBefore(now(), 13), {.output = 4}) +
                                   reply("d14", Spend::daysBefore(now(), 14), {.output = 8}));
  refresh();
  auto store = Spend::account().inspect([](const Spend::Store& s) { return s; });
  EXPECT_EQ(store.hours.count(Spend::hourKey(now() - 22 * day)), 0u);
  EXPECT_EQ(store.hours.count(Spend::hourKey(now() - 20 * day)), 1u);
  const auto& daily = store.sessions["s1"].daily;
  EXPECT_EQ(daily.count(Spend::dayKey(Spend::daysBefore(now(), 13))), 1u);
  EXPECT_EQ(daily.count(Spend::dayKey(Spend::daysBefore(now(), 14))), 0u);
  // All time keeps everything.
  EXPECT_EQ(model().output, 15);

  // Time passes: what was kept ages out at the next refresh that finds something new.
  clock.advance(2 * day);
  appendTranscript(path, reply("new", now(), {.output = 16}));
  refresh();
  store = Spend::account().inspect([](const Spend::Store& s) { return s; });
  EXPECT_EQ(store.hours.count(Spend::hourKey(now() - 22 * day)), 0u);
  EXPECT_EQ(store.sessions["s1"].daily.count(Spend::dayKey(Spend::daysBefore(now(), 15))), 0u);
  EXPECT_EQ(store.marks.begin()->second.daily.count(Spend::dayKey(Spend::daysBefore(now(), 15))),
            0u);
  EXPECT_EQ(model().output, 31);
}

TEST_F(AccountTest, ARefreshWithinThirtySecondsRunsOnlyWhenForced) {
  log("s1", reply("m1", now(), {.output = 1}));
  EXPECT_TRUE(Spend::refresh(false));
  clock.advance(10);
  EXPECT_FALSE(Spend::refresh(false));
  EXPECT_TRUE(Spend::refresh(true));
  clock.advance(29);
  EXPECT_FALSE(Spend::refresh(false));
  clock.advance(2);
  EXPECT_TRUE(Spend::refresh(false));
}

TEST_F(AccountTest, TheStoreCarriesTheAccountAcrossARestart) {
  std::string path = log("s1", reply("m1", now(), {.output = 10}));
  subLog("s1", "a1", reply("x1", now(), {.output = 1}));
  refresh();
  EXPECT_EQ(Spend::account().figures().read, 2u);
  EXPECT_TRUE(Files::exists(Spend::storePath()));
  struct stat st {};
  ASSERT_EQ(::stat(Spend::storePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Spend::account().reset();  // as a new process
  refresh();
  EXPECT_EQ(Spend::account().figures().read, 0u) << "nothing changed, nothing read";
  EXPECT_EQ(model().output, 11);

  // A partial reply stored in the mark is finished after the restart.
  appendTranscript(path, reply("m1", now(), {.output = 30}));
  Spend::account().reset();
  refresh();
  EXPECT_EQ(Spend::account().figures().read, 1u);
  EXPECT_EQ(model(), (Counters{0, 31, 0, 0, 0, 2}));
}

TEST_F(AccountTest, CountedIdsThatDoNotMatchTheStoreAreCountedAgainNotTwice) {
  std::string path = log("s1", reply("m1", now(), {.output = 10}));
  refresh();
  // As if the ids were damaged by hand.
  auto store = Spend::decodeStore(Files::read(Spend::storePath()).value_or(""));
  ASSERT_TRUE(store);
  Files::writeAtomic(Spend::idsPath(store->idsGeneration), "garbage");
  appendTranscript(path, reply("m2", now(), {.output = 5}));
  Spend::account().reset();
  refresh();
  EXPECT_EQ(model(), (Counters{0, 15, 0, 0, 0, 2}));
}

TEST_F(AccountTest, ACrashBetweenTheNewIdsAndTheStoreKeepsTheOldPairAndItsTotals) {
  std::string gone = log("s1", reply("m1", now(), {.output = 10}));
  refresh();
  auto store = Spend::decodeStore(Files::read(Spend::storePath()).value_or(""));
  ASSERT_TRUE(store);
  // A save that died after writing its ids: a newer generation the store does not name.
  std::string orphan = Spend::idsPath(store->idsGeneration + 1);
  ASSERT_TRUE(Files::writeAtomic(orphan, "half a save"));
  // Meanwhile the first conversation's file went; what it cost stays counted.
  ASSERT_EQ(::unlink(gone.c_str()), 0);
  log("s2", reply("m2", now(), {.output = 5}));
  Spend::account().reset();
  refresh();
  EXPECT_EQ(model(), (Counters{0, 15, 0, 0, 0, 2}));
  // The new pair is in place and the ids of other generations are gone.
  store = Spend::decodeStore(Files::read(Spend::storePath()).value_or(""));
  ASSERT_TRUE(store);
  EXPECT_TRUE(Files::exists(Spend::idsPath(store->idsGeneration)));
  EXPECT_FALSE(Files::exists(orphan));
  size_t idsFiles = 0;
  for (const auto& e : Files::list(Spend::storeDir()).value_or(std::vector<Files::Entry>{}))
    if (e.name.rfind("ids", 0) == 0) ++idsFiles;
  EXPECT_EQ(idsFiles, 1u);
}

TEST_F(AccountTest, IdsKeptWhereEarlierVersionsKeptThemAreRead) {
  log("s1", reply("m1", now(), {.output = 10}));
  refresh();
  auto store = Spend::decodeStore(Files::read(Spend::storePath()).value_or(""));
  ASSERT_TRUE(store);
  std::string current = Spend::idsPath(store->idsGeneration);
  ASSERT_EQ(::rename(current.c_str(), Spend::legacyIdsPath().c_str()), 0);
  Spend::account().reset();
  refresh();
  EXPECT_EQ(Spend::account().figures().read, 0u) << "the old file's ids count: nothing to read";
  EXPECT_EQ(model().output, 10);
}

TEST_F(AccountTest, AnUnreadableStoreStartsAfresh) {
  home.write(".claude/velmo-spend/spend.json", "{\"marks\": [");
  log("s1", reply("m1", now(), {.output = 10}));
  refresh();
  EXPECT_EQ(model().output, 10);
}

TEST_F(AccountTest, TodaysShareIsTheSessionsPartOfTodaysCost) {
  log("a", reply("m1", now(), {.output = 300}));
  log("b", reply("m2", now(), {.output = 100}));
  log("c", reply("m3", now() - 3 * 86400, {.output = 1000}));
  refresh();
  auto a = Spend::session("a"), b = Spend::session("b"), c = Spend::session("c");
  EXPECT_DOUBLE_EQ(a.share, 0.75);
  EXPECT_DOUBLE_EQ(b.share, 0.25);
  EXPECT_EQ(a.output, 300);
  EXPECT_EQ(c.share, 0);
  EXPECT_EQ(c.output, 0);
  EXPECT_EQ(Spend::session("nobody").share, 0);
}

TEST_F(AccountTest, ProgressFlagsFollowTheRefresh) {
  EXPECT_FALSE(Spend::everBuilt());
  log("s1", reply("m1", now(), {.output = 1}));
  refresh();
  EXPECT_TRUE(Spend::everBuilt());
  EXPECT_FALSE(Spend::building());
  EXPECT_EQ(Spend::pending(), 0);
}

TEST_F(AccountTest, ALargeLogReadInManyStretchesCountsEveryMessageOnce) {
  // Several stretches' worth of replies, each written as two records, with filler lines
  // between them so stretch ends fall everywhere.
  std::string text;
  std::string filler = SpendTest::prompt(std::string(3000, 'f'), now());
  int64_t expected = 0;
  int messages = 0;
  while (static_cast<int64_t>(text.size()) < 3 * Spend::kStretchBytes + 12345) {
    std::string id = "m" + std::to_string(messages++);
    text += reply(id, now(), {.output = 1});
    text += filler;
    text += reply(id, now(), {.output = 7});
    expected += 7;
  }
  log("big", text);
  refresh();
  EXPECT_EQ(model(), (Counters{0, expected, 0, 0, 0, messages}));
}

}  // namespace
