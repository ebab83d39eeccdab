// Reading stretches of a transcript: which lines count, how repeated records fold, and that
// a file cut into stretches anywhere reads as the whole file does.
#include "spend/harvest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "base/files.h"
#include "base/text.h"
#include "spend_support.h"
#include "support/home.h"

namespace {

using Spend::Counters;
using Spend::Harvest;
using Spend::Harvester;
using Spend::Stretch;
using SpendTest::reply;
using SpendTest::Usage;

class HarvestTest : public ::testing::Test {
 protected:
  HarvestTest() : dir(makeTempDir("velmo-harvest")) {}
  ~HarvestTest() override { removeTree(dir); }

  std::string file(const std::string& text) {
    std::string path = dir + "/log.jsonl";
    Files::writeAtomic(path, text);
    return path;
  }
  Harvest whole(const std::string& path, int64_t from = 0) {
    int64_t size = Files::attributes(path)->size;
    return harvester.run(path, {from, size, size, true});
  }

  std::string dir;
  Harvester harvester;
};

constexpr double kAt = 1796800000;

TEST_F(HarvestTest, RepeatedRecordsFoldIntoTheirLargestUsageFieldByField) {
  // Older agents wrote a growing output count on the records of one reply.
  std::string text = reply("m1", kAt, {.input = 5, .output = 10, .read = 100}) +
                     reply("m1", kAt + 1, {.input = 5, .output = 40, .read = 90}) +
                     reply("m1", kAt + 2, {.input = 3, .output = 25, .read = 100}) +
                     reply("m2", kAt + 3, {.input = 1, .output = 1});
  Harvest h = whole(file(text));
  ASSERT_EQ(h.uses.size(), 2u);
  EXPECT_EQ(h.uses[0].id, Spend::idHash("m1"));
  EXPECT_EQ(h.models[h.uses[0].model], "claude-opus-4-5");
  EXPECT_EQ(h.lastMsg, "m2");
  EXPECT_EQ(h.uses[0].counters, (Counters{5, 40, 0, 0, 100, 1}));
  EXPECT_DOUBLE_EQ(h.uses[0].at, kAt);
  EXPECT_EQ(h.uses[1].counters, (Counters{1, 1, 0, 0, 0, 1}));
  EXPECT_EQ(h.pos, static_cast<int64_t>(text.size()));
  EXPECT_TRUE(h.complete);
}

TEST_F(HarvestTest, CacheWritesTakeWhatTheBreakdownLeavesUnexplained) {
  std::string text =
      // The current agent: a total beside a breakdown of zeros.
      reply("zero", kAt, {.output = 1, .creation = 400, .five = 0, .hour = 0}) +
      // A breakdown with an hour's worth: the rest went to the five-minute cache.
      reply("split", kAt, {.output = 1, .creation = 1000, .five = 0, .hour = 600}) +
      // A breakdown larger than the total wins.
      reply("big", kAt, {.output = 1, .creation = 100, .five = 300, .hour = 0}) +
      // No breakdown at all: all of it is five-minute writes.
      reply("none", kAt, {.output = 1, .creation = 250});
  Harvest h = whole(file(text));
  ASSERT_EQ(h.uses.size(), 4u);
  EXPECT_EQ(h.uses[0].counters.write5, 400);
  EXPECT_EQ(h.uses[0].counters.write1h, 0);
  EXPECT_EQ(h.uses[1].counters.write5, 400);
  EXPECT_EQ(h.uses[1].counters.write1h, 600);
  EXPECT_EQ(h.uses[2].counters.write5, 300);
  EXPECT_EQ(h.uses[3].counters.write5, 250);
}

TEST_F(HarvestTest, OnlyAssistantUsageOfRealModelsCounts) {
  std::string text =
      // A tool result that quotes a transcript holds the marker but is no reply.
      SpendTest::prompt("grep says \"output_tokens\":99", kAt) +
      reply("p", kAt, {.output = 7}, "<synthetic>") +
      "{\"type\":\"assistant\",\"message\":{\"id\":\"nu\",\"model\":\"claude-opus-4-5\"},"
      "\"note\":\"output_tokens\"}\n" +
      "{not json \"output_tokens\"}\n" + reply("empty", kAt, {}) +
      reply("real", kAt, {.output = 3});
  Harvest h = whole(file(text));
  ASSERT_EQ(h.uses.size(), 2u);
  // An all-zero reply is remembered (a later record may raise it) but adds nothing.
  EXPECT_EQ(h.uses[0].id, Spend::idHash("empty"));
  EXPECT_TRUE(h.uses[0].counters.zero());
  EXPECT_EQ(h.uses[1].id, Spend::idHash("real"));
}

TEST_F(HarvestTest, ALoneSurrogateInTheTextDoesNotCostTheReplyItsCount) {
  std::string text = reply("m", kAt, {.output = 9}, "claude-opus-4-5", "half an emoji");
  text = Text::replaceAll(text, "half an emoji", "half \\ud83d emoji");
  Harvest h = whole(file(text));
  ASSERT_EQ(h.uses.size(), 1u);
  EXPECT_EQ(h.uses[0].counters.output, 9);
}

TEST_F(HarvestTest, AHalfWrittenLastLineIsLeftForLater) {
  std::string done = reply("a", kAt, {.output = 2});
  std::string half = reply("b", kAt, {.output = 5});
  half.resize(half.size() / 2);
  Harvest h = whole(file(done + half));
  ASSERT_EQ(h.uses.size(), 1u);
  EXPECT_EQ(h.pos, static_cast<int64_t>(done.size()));
  EXPECT_FALSE(h.complete);
}

TEST_F(HarvestTest, StretchesCutAnywhereReadAsTheWholeFile) {
  std::string text;
  for (int i = 0; i < 6; ++i) {
    text += SpendTest::prompt("step " + std::to_string(i), kAt + i);
    text += reply("m" + std::to_string(i), kAt + i, {.input = i + 1, .output = 10 * (i + 1)});
    text += reply("m" + std::to_string(i), kAt + i, {.input = i + 1, .output = 20 * (i + 1)});
  }
  std::string path = file(text);
  const int64_t size = static_cast<int64_t>(text.size());
  Harvest all = whole(path);
  std::map<uint64_t, Counters> expected;
  for (const auto& u : all.uses) expected[u.id] = u.counters;
  ASSERT_EQ(expected.size(), 6u);

  for (int64_t cut = 1; cut < size; ++cut) {
    Harvest first = harvester.run(path, {0, cut, size, true});
    Harvest second = harvester.run(path, {cut, size, size, false});
    std::map<uint64_t, Counters> got;
    int lines = 0;
    for (const Harvest* h : {&first, &second}) {
      for (const auto& u : h->uses) {
        got[u.id] = Spend::largest(got[u.id], u.counters);
        ++lines;
      }
    }
    ASSERT_EQ(got, expected) << "cut at " << cut;
    // Each line is taken by exactly one stretch, so a reply's two records meet at most
    // once across the cut.
    ASSERT_LE(lines, 7) << "cut at " << cut;
    ASSERT_EQ(std::max(first.pos, second.pos), size) << "cut at " << cut;
    ASSERT_TRUE(first.complete && second.complete) << "cut at " << cut;
  }
}

TEST_F(HarvestTest, EveryRecordIsFoundWhereverItsMarkerFalls) {
  // Padding of every length moves the marker across every offset of a 32-byte block, and
  // the words near it ("p" and "k" six bytes apart) appear where no marker is.
  std::string text;
  const int count = 80;
  for (int pad = 0; pad < count; ++pad) {
    std::string line = reply("m" + std::to_string(pad), kAt, {.output = pad + 1});
    line.insert(1, "\"pad\":\"" + std::string(pad, 'x') + "p_____k\",");
    text += line;
  }
  // A marker in the very last bytes of the buffer.
  text += "{\"type\":\"assistant\",\"message\":{\"id\":\"end\",\"usage\":{\"output_tokens\":5}}}\n";
  Harvest h = whole(file(text));
  ASSERT_EQ(h.uses.size(), static_cast<size_t>(count + 1));
  int64_t sum = 0;
  for (const auto& u : h.uses) sum += u.counters.output;
  EXPECT_EQ(sum, count * (count + 1) / 2 + 5);
}

TEST_F(HarvestTest, ALineTooLongToReadIsPassedOverAndTheRestCounts) {
  std::string text = reply("before", kAt, {.output = 1});
  text += "{\"type\":\"user\",\"note\":\"" + std::string(Spend::kLongestLine + 10, 'x') +
          "\",\"output_tokens\":1}\n";
  text += reply("after", kAt, {.output = 2});
  Harvest h = whole(file(text));
  ASSERT_EQ(h.uses.size(), 2u);
  EXPECT_EQ(h.uses[0].id, Spend::idHash("before"));
  EXPECT_EQ(h.uses[1].id, Spend::idHash("after"));
  EXPECT_EQ(h.pos, static_cast<int64_t>(text.size()));
}

TEST_F(HarvestTest, AFileThatIsNoRegularFileIsNotRead) {
  std::string fifo = dir + "/pipe.jsonl";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Harvest h = harvester.run(fifo, {0, 100, 100, true});
  EXPECT_FALSE(h.opened);
  EXPECT_TRUE(h.uses.empty());
}

}  // namespace
