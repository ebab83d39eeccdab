// The account's files: the store comes back as it went out, and the counted ids only with
// the store they were written with.
#include "spend/store.h"

#include <gtest/gtest.h>

#include "spend/ids.h"

namespace {

using Spend::Counters;

TEST(SpendStore, ComesBackAsItWentOut) {
  Spend::Store s;
  s.idsGeneration = 0xfedcba9876543210ull;  // above the largest signed value
  Spend::Mark& m = s.marks["-home-dana-shop/a \"quoted\"\\name\t.jsonl"];
  m.pos = 1234567890123;
  m.size = 1234567890999;
  m.lastMsg = "msg_1";
  m.sid = "a";
  m.recent.push_back(
      {0xfedcba9876543210ull, "claude-opus-4-5", 1796800000.125, {1, 2, 3, 4, 5, 1}, true});
  m.models["claude-opus-4-5"] = {1, 2, 3, 4, 5, 1};
  m.daily["2026-12-09"]["claude-opus-4-5"] = {1, 2, 3, 4, 5, 1};
  m.hours["2026-12-09 07"]["claude-opus-4-5"] = {1, 2, 3, 4, 5, 1};
  Spend::SessionSpend& ss = s.sessions["a"];
  ss.project = "שופ";
  ss.models = m.models;
  ss.daily = m.daily;
  ss.last = 1796800000.125;
  s.hours = m.hours;

  auto back = Spend::decodeStore(Spend::encodeStore(s));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->idsGeneration, s.idsGeneration);
  ASSERT_EQ(back->marks.size(), 1u);
  const Spend::Mark& b = back->marks.begin()->second;
  EXPECT_EQ(back->marks.begin()->first, s.marks.begin()->first);
  EXPECT_EQ(b.pos, m.pos);
  EXPECT_EQ(b.size, m.size);
  EXPECT_EQ(b.lastMsg, "msg_1");
  ASSERT_EQ(b.recent.size(), 1u);
  EXPECT_EQ(b.recent[0].id, 0xfedcba9876543210ull);
  EXPECT_EQ(b.recent[0].counted, (Counters{1, 2, 3, 4, 5, 1}));
  EXPECT_TRUE(b.recent[0].foreign);
  EXPECT_DOUBLE_EQ(b.recent[0].at, 1796800000.125);
  EXPECT_EQ(b.hours, m.hours);
  EXPECT_EQ(back->sessions["a"].project, "שופ");
  EXPECT_EQ(back->sessions["a"].daily, m.daily);
  EXPECT_EQ(back->hours, s.hours);

  EXPECT_FALSE(Spend::decodeStore("{\"marks\": [1]}"));
  EXPECT_FALSE(Spend::decodeStore("{\"marks\": {"));
}

TEST(SpendStore, ANameThatIsNotUtf8IsWrittenRepairedAndAnOldStoreWithOneStillReads) {
  Spend::Store s;
  s.sessions["a"].project = "caf\xe9";  // a folder named in Latin-1
  s.sessions["a"].models["claude-opus-4-5"] = {0, 7, 0, 0, 0, 1};
  std::string text = Spend::encodeStore(s);
  auto back = Spend::decodeStore(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->sessions["a"].project, "caf\xef\xbf\xbd");
  EXPECT_EQ(back->sessions["a"].models["claude-opus-4-5"].output, 7);

  // Written by a version that did not repair: the counts are kept, not counted again.
  std::string old = "{\"marks\":{},\"sessions\":{\"a\":{\"project\":\"caf\xe9\",\"models\":{},"
                    "\"daily\":{},\"last\":5}},\"hours\":{},\"idsGeneration\":3}\n";
  back = Spend::decodeStore(old);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->idsGeneration, 3u);
  EXPECT_EQ(back->sessions["a"].project, "caf\xef\xbf\xbd");
}

TEST(SpendCountedIds, RememberTheirOwnerUntilReleasedOrOld) {
  Spend::CountedIds ids;
  const double day = 86400, now = 1796800000;
  // Enough to merge the fresh part into the sorted part more than once. Ids are hashes,
  // never 0; id i * 7919 has owner 1 when i is odd, 2 when even, and was booked
  // (i % 3) * 100 days ago.
  for (uint64_t i = 1; i <= 10000; ++i)
    ids.claim(i * 7919, i % 2 ? 1 : 2, now - (i % 3) * 100 * day);
  EXPECT_EQ(ids.size(), 10000u);
  EXPECT_EQ(ids.owner(7919), 1u);
  EXPECT_EQ(ids.owner(2 * 7919), 2u);
  EXPECT_FALSE(ids.owner(5));

  auto bytes = ids.encode(42);
  EXPECT_FALSE(Spend::CountedIds::decode(bytes, 41)) << "another store's ids";
  EXPECT_FALSE(Spend::CountedIds::decode(bytes.substr(0, bytes.size() - 1), 42));
  auto back = Spend::CountedIds::decode(bytes, 42);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->owner(9999 * 7919), 1u);
  EXPECT_EQ(back->size(), 10000u);

  back->release(1);
  EXPECT_FALSE(back->owner(7919));
  EXPECT_EQ(back->owner(2 * 7919), 2u);
  back->prune(now - 150 * day);          // ids booked 200 days ago go
  EXPECT_FALSE(back->owner(2 * 7919));   // i = 2: 200 days old
  EXPECT_EQ(back->owner(6 * 7919), 2u);  // i = 6: booked now
}

}  // namespace
