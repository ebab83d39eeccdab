// Day and hour keys are local time, and a day in a zone with daylight saving is not always
// 24 hours long. Each test pins a zone and compares with keys written out by hand.
#include "spend/keys.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "base/timefmt.h"

namespace {

// New York's rules, spelled out so no zone database is needed: clocks go forward at 2:00
// on the second Sunday of March and back at 2:00 on the first Sunday of November.
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";

class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    // Tests run one at a time: nothing else reads the environment meanwhile.
    if (const char* old = std::getenv("TZ")) before = old;  // NOLINT(concurrency-mt-unsafe)
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedZone() {
    if (before)
      ::setenv("TZ", before->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    else
      ::unsetenv("TZ");  // NOLINT(concurrency-mt-unsafe)
    ::tzset();
  }
  ScopedZone(const ScopedZone&) = delete;
  ScopedZone& operator=(const ScopedZone&) = delete;

 private:
  std::optional<std::string> before;
};

double utc(const char* iso) {
  auto t = TimeText::parseIso(iso);
  EXPECT_TRUE(t) << iso;
  return t.value_or(0);
}

TEST(SpendKeys, TheShortDayInSpringHasNoTwoOClock) {
  ScopedZone zone(kNewYork);
  EXPECT_EQ(Spend::hourKey(utc("2026-03-08T06:59:59Z")), "2026-03-08 01");
  EXPECT_EQ(Spend::hourKey(utc("2026-03-08T07:00:00Z")), "2026-03-08 03");
  EXPECT_EQ(Spend::dayKey(utc("2026-03-08T04:59:59Z")), "2026-03-07");
  EXPECT_EQ(Spend::dayKey(utc("2026-03-08T05:00:00Z")), "2026-03-08");
  // The day ends at midnight of the new offset, 23 hours after it began.
  EXPECT_EQ(Spend::dayKey(utc("2026-03-09T03:59:59Z")), "2026-03-08");
  EXPECT_EQ(Spend::dayKey(utc("2026-03-09T04:00:00Z")), "2026-03-09");
  EXPECT_EQ(Spend::dayLabel(utc("2026-03-09T04:00:00Z")), "9.3");

  EXPECT_EQ(Spend::hourStart(utc("2026-03-08T07:30:00Z")), utc("2026-03-08T07:00:00Z"));
  // Noon of each day before, whatever its length.
  double monday = utc("2026-03-09T16:00:00Z");
  EXPECT_EQ(Spend::daysBefore(monday, 1), utc("2026-03-08T16:00:00Z"));
  EXPECT_EQ(Spend::daysBefore(monday, 2), utc("2026-03-07T17:00:00Z"));
  EXPECT_EQ(Spend::dayKey(Spend::daysBefore(monday, 2)), "2026-03-07");
}

TEST(SpendKeys, TheRepeatedHourInAutumnIsOneKeyWithTwoStarts) {
  ScopedZone zone(kNewYork);
  double first = utc("2026-11-01T05:30:00Z");   // 1:30 daylight time
  double second = utc("2026-11-01T06:30:00Z");  // 1:30 again, standard time
  EXPECT_EQ(Spend::hourKey(first), "2026-11-01 01");
  EXPECT_EQ(Spend::hourKey(second), "2026-11-01 01");
  EXPECT_EQ(Spend::hourStart(first), utc("2026-11-01T05:00:00Z"));
  EXPECT_EQ(Spend::hourStart(second), utc("2026-11-01T06:00:00Z"));
  EXPECT_EQ(Spend::hourKey(utc("2026-11-01T07:00:00Z")), "2026-11-01 02");
  // The long day: 25 hours from midnight to midnight.
  EXPECT_EQ(Spend::dayKey(utc("2026-11-01T04:00:00Z")), "2026-11-01");
  EXPECT_EQ(Spend::dayKey(utc("2026-11-02T04:59:59Z")), "2026-11-01");
  EXPECT_EQ(Spend::dayKey(utc("2026-11-02T05:00:00Z")), "2026-11-02");
  EXPECT_EQ(Spend::daysBefore(utc("2026-11-02T17:00:00Z"), 1), utc("2026-11-01T17:00:00Z"));
}

TEST(SpendKeys, TheCacheAgreesAcrossChangesOfOffsetAndQuarterHourZones) {
  for (const char* zone : {kNewYork, "<+0545>-5:45", "<-0330>3:30<-0230>,M3.2.0,M11.1.0"}) {
    ScopedZone pinned(zone);
    Spend::KeyCache cache;
    // A minute at a time over each change of offset in 2026 and a day either side.
    for (const char* from : {"2026-03-07T00:00:00Z", "2026-10-31T00:00:00Z"}) {
      for (double at = utc(from); at < utc(from) + 3 * 86400; at += 60) {
        ASSERT_EQ(cache.day(at), Spend::dayKey(at)) << zone << " " << TimeText::iso8601(at);
        ASSERT_EQ(cache.hour(at), Spend::hourKey(at)) << zone << " " << TimeText::iso8601(at);
      }
    }
  }
  ScopedZone nepal("<+0545>-5:45");
  EXPECT_EQ(Spend::dayKey(utc("2026-12-09T18:14:59Z")), "2026-12-09");
  EXPECT_EQ(Spend::dayKey(utc("2026-12-09T18:15:00Z")), "2026-12-10");
  EXPECT_EQ(Spend::hourKey(utc("2026-12-09T18:15:00Z")), "2026-12-10 00");
}

}  // namespace
