// The board, the usage windows and the quota as the page receives them.
#include "spend/board.h"

#include <gtest/gtest.h>

#include "base/timefmt.h"
#include "sessions/language.h"
#include "spend/keys.h"
#include "spend/quota.h"
#include "spend/rates.h"
#include "spend_support.h"

namespace {

using SpendTest::reply;
using Json = nlohmann::json;

class BoardTest : public SpendTest::SpendFixture {
 protected:
  double now() { return clock.now(); }
  void quota(const Json& doc) { home.write(".claude/velmo-spend/quota.json", doc.dump()); }
};

TEST(SpendRates, ModelsAreNamedAndPricedByTheFirstMatchingFamily) {
  {
    ScopedLanguage en("en");
    EXPECT_EQ(Spend::hebrewModel("claude-opus-4-5"), "Opus");
    EXPECT_EQ(Spend::hebrewModel("claude-mythos-1"), "Mythos");
    EXPECT_EQ(Spend::hebrewModel("claude-fable-opus"), "Fable");  // fable is looked for first
    EXPECT_EQ(Spend::hebrewModel("Claude-HAIKU-4-5"), "Haiku");
    EXPECT_EQ(Spend::hebrewModel("gpt-9"), "gpt-9");
    EXPECT_EQ(Spend::projectName("-tmp-work"), "home");
    EXPECT_EQ(Spend::projectName("-home-dana-shop"), "shop");
  }
  {
    ScopedLanguage he("he");
    EXPECT_EQ(Spend::hebrewModel("claude-sonnet-4-6"), "סונט");
    EXPECT_EQ(Spend::hebrewModel("claude-fable-1"), "פייבל");
    EXPECT_EQ(Spend::projectName("-tmp-work"), "בית");
  }
  EXPECT_EQ(Spend::rate("claude-sonnet-4-6").input, 3);
  EXPECT_EQ(Spend::rate("claude-sonnet-4-5").input, 2);
  EXPECT_EQ(Spend::rate("claude-mythos-opus").output, 50);
  EXPECT_EQ(Spend::rate("something-else").output, 25);
  // Opus: 1M of each kind.
  Spend::Counters c{1000000, 1000000, 1000000, 1000000, 1000000, 1};
  EXPECT_DOUBLE_EQ(Spend::cost("claude-opus-4-5", c), 5 + 25 + 5 * 1.25 + 5 * 2.0 + 5 * 0.1);
}

TEST_F(BoardTest, SpansSumTheirDaysAndListSessionsByWeight) {
  ScopedLanguage en("en");
  double day = 86400;
  log("today", reply("t1", now(), {.input = 10, .output = 1000}));
  log("week", reply("w1", Spend::daysBefore(now(), 3), {.output = 500}, "claude-haiku-4-5"));
  log("old", reply("o1", Spend::daysBefore(now(), 10), {.output = 7}));
  log("ancient", reply("a1", now() - 60 * day, {.output = 9}), "-tmp-x");
  ASSERT_TRUE(Spend::refresh(true));
  Json b = Spend::board({{"today", "Fixing the login"}});

  EXPECT_EQ(b["ready"], true);
  EXPECT_EQ(b["building"], false);
  EXPECT_EQ(b["logs"], 0);
  ASSERT_EQ(b["today"]["sessions"].size(), 1u);
  const Json& row = b["today"]["sessions"][0];
  EXPECT_EQ(row["sid"], "today");
  EXPECT_EQ(row["title"], "Fixing the login");
  EXPECT_EQ(row["open"], true);
  EXPECT_EQ(row["out"], 1000);
  EXPECT_EQ(row["calls"], 1);
  EXPECT_EQ(row["model"], "Opus");
  EXPECT_DOUBLE_EQ(row["share"].get<double>(), 1.0);
  EXPECT_EQ(b["today"]["output"], 1000);
  EXPECT_EQ(b["today"]["input"], 10);

  EXPECT_EQ(b["week"]["output"], 1500);
  ASSERT_EQ(b["week"]["sessions"].size(), 2u);
  EXPECT_EQ(b["week"]["sessions"][0]["sid"], "today");   // heavier first
  EXPECT_EQ(b["week"]["sessions"][1]["title"], "shop");  // closed: its project
  EXPECT_EQ(b["week"]["sessions"][1]["open"], false);

  EXPECT_EQ(b["all"]["output"], 1516);
  EXPECT_EQ(b["all"]["sessions"].size(), 4u);
  EXPECT_EQ(b["all"]["calls"], 4);

  // Models: shares of the span's weight and the parts of each model's own cost.
  const Json& models = b["week"]["models"];
  ASSERT_EQ(models.size(), 2u);
  EXPECT_EQ(models[0]["model"], "Opus");
  EXPECT_EQ(models[1]["model"], "Haiku");
  EXPECT_NEAR(models[0]["share"].get<double>() + models[1]["share"].get<double>(), 1.0, 1e-12);
  EXPECT_DOUBLE_EQ(models[1]["parts"]["output"].get<double>(), 1.0);
  double opusIn = 10 * 5.0, opusOut = 1000 * 25.0;
  EXPECT_DOUBLE_EQ(models[0]["parts"]["input"].get<double>(), opusIn / (opusIn + opusOut));
}

TEST_F(BoardTest, FourteenBarsOldestFirstWithEmptyDaysAtWeightZero) {
  log("s", reply("t1", now(), {.output = 100}) +
               reply("d2", Spend::daysBefore(now(), 2), {.output = 50}));
  ASSERT_TRUE(Spend::refresh(true));
  Json bars = Spend::board({})["bars"];
  ASSERT_EQ(bars.size(), 14u);
  EXPECT_EQ(bars[13]["today"], true);
  EXPECT_EQ(bars[13]["output"], 100);
  EXPECT_EQ(bars[13]["day"], Spend::dayLabel(now()));
  EXPECT_EQ(bars[11]["output"], 50);
  EXPECT_EQ(bars[12]["weight"], 0.0);
  EXPECT_EQ(bars[12]["today"], false);
  EXPECT_GT(bars[13]["weight"].get<double>(), bars[11]["weight"].get<double>());
}

TEST_F(BoardTest, ASpanListsAtMostFortySessions) {
  for (int i = 0; i < 45; ++i)
    log("s" + std::to_string(i), reply("m" + std::to_string(i), now(), {.output = i + 1}));
  ASSERT_TRUE(Spend::refresh(true));
  Json today = Spend::board({})["today"];
  EXPECT_EQ(today["sessions"].size(), 40u);
  EXPECT_EQ(today["sessions"][0]["sid"], "s44");
  EXPECT_EQ(today["output"], 45 * 46 / 2) << "totals cover every session, listed or not";
}

TEST_F(BoardTest, BeforeTheFirstRefreshTheBoardIsNotReady) {
  Json b = Spend::board({});
  EXPECT_EQ(b["ready"], false);
  EXPECT_TRUE(b["today"]["sessions"].empty());
  EXPECT_EQ(b["bars"].size(), 14u);
}

TEST_F(BoardTest, TheWindowOfTheLastFiveHoursIncludesTheCurrentHour) {
  // The clock stands past the hour, so a walk in whole hours from five hours ago would
  // stop before the hour now running.
  double start = Spend::hourStart(now());
  ASSERT_GT(now() - start, 60);
  log("s", reply("now", start + 30, {.output = 40}) +
               reply("three", now() - 3 * 3600, {.output = 2}) +
               reply("seven", now() - 7 * 3600, {.output = 1000}));
  ASSERT_TRUE(Spend::refresh(true));
  Json w = Spend::panel({})["windowNow"];
  EXPECT_EQ(w["output"], 42);
  EXPECT_EQ(w["calls"], 2);
  EXPECT_EQ(w["models"]["claude-opus-4-5"]["output"], 42);
  EXPECT_GT(w["weight"].get<double>(), 0);
  // A window of one hour's span holds that hour.
  EXPECT_EQ(Spend::window(start + 1, start + 2)["output"], 40);
}

TEST_F(BoardTest, ThePanelCarriesTheQuota) {
  Json p = Spend::panel({});
  EXPECT_EQ(p["quota"]["missing"], true);
  EXPECT_TRUE(p.contains("windowNow"));
  EXPECT_TRUE(p.contains("today"));
}

TEST_F(BoardTest, QuotaLabelsFollowTheKindAndTheModelsName) {
  ScopedLanguage en("en");
  quota({{"fetched", now() - 30},
         {"limits",
          {{{"kind", "session"},
            {"percent", 41},
            {"is_active", true},
            {"resets_at", TimeText::iso8601(now() + 3 * 3600 + 5 * 60 + 20)}},
           {{"kind", "weekly_all"}, {"percent", 12}, {"severity", "warning"}},
           {{"kind", "weekly_opus"}},
           {{"kind", "weekly_sonnet"}},
           {{"kind", "weekly_scoped"}, {"scope", {{"model", {{"display_name", "Fable"}}}}}},
           {{"kind", "weekly_other"}}}}});
  auto r = Quota::read();
  ASSERT_EQ(r.rows.size(), 6u);
  EXPECT_EQ(r.rows[0].label, "five-hour window");
  EXPECT_EQ(r.rows[1].label, "this week — all");
  EXPECT_EQ(r.rows[2].label, "this week — Opus");
  EXPECT_EQ(r.rows[3].label, "this week — Sonnet");
  EXPECT_EQ(r.rows[4].label, "this week — Fable");
  EXPECT_EQ(r.rows[5].label, "this week — model");
  EXPECT_EQ(r.rows[1].severity, "warning");
  EXPECT_EQ(r.rows[2].severity, "normal");
  EXPECT_EQ(r.rows[2].percent, 0);
  EXPECT_FALSE(r.rows[2].active);

  Json p = Quota::payload();
  EXPECT_EQ(p["missing"], false);
  EXPECT_EQ(p["stale"], false);
  EXPECT_EQ(p["age"], 30);
  EXPECT_EQ(p["rows"][0]["until"], "3:05h");
  EXPECT_EQ(p["rows"][0]["percent"], 41);
  EXPECT_EQ(p["rows"][0]["active"], true);
  EXPECT_EQ(p["rows"][1]["until"], "");

  ScopedLanguage he("he");
  EXPECT_EQ(Quota::read().rows[0].label, "חלון חמש שעות");
  EXPECT_EQ(Quota::read().rows[4].label, "השבוע — Fable");
  EXPECT_EQ(Quota::read().rows[5].label, "השבוע — דגם");
}

TEST_F(BoardTest, QuotaPercentsStayWithinNoneAndAll) {
  quota({{"fetched", now()},
         {"limits",
          {{{"kind", "session"}, {"percent", 140.6}},
           {{"kind", "weekly_all"}, {"percent", -3}},
           {{"kind", "weekly_opus"}, {"percent", 1e300}}}}});
  auto r = Quota::read();
  ASSERT_EQ(r.rows.size(), 3u);
  EXPECT_EQ(r.rows[0].percent, 100);
  EXPECT_EQ(r.rows[1].percent, 0);
  EXPECT_EQ(r.rows[2].percent, 100);
}

TEST_F(BoardTest, QuotaSamplesGoStaleAfterFifteenMinutesAndMayBeMissing) {
  quota({{"fetched", now() - 900}, {"limits", Json::array()}});
  EXPECT_EQ(Quota::payload()["stale"], false);
  quota({{"fetched", now() - 901}, {"limits", Json::array()}, {"error", "HTTP 401"}});
  Json p = Quota::payload();
  EXPECT_EQ(p["stale"], true);
  EXPECT_EQ(p["age"], 901);
  EXPECT_EQ(p["error"], "HTTP 401");
  // Sampled before any clock could have been: very stale, never an age past what fits.
  quota({{"fetched", -1e300}, {"limits", Json::array()}});
  EXPECT_EQ(Quota::payload()["stale"], true);
  EXPECT_EQ(Quota::payload()["age"], int64_t{1000000000000000});
  home.write(".claude/velmo-spend/quota.json", "{\"fetched\": ");
  p = Quota::payload();
  EXPECT_EQ(p["missing"], true);
  EXPECT_EQ(p["stale"], false);
  EXPECT_TRUE(p["rows"].empty());
}

TEST_F(BoardTest, TimeLeftIsShortText) {
  {
    ScopedLanguage en("en");
    EXPECT_EQ(Quota::until(std::nullopt), "");
    EXPECT_EQ(Quota::until(now() - 1), "reset");
    EXPECT_EQ(Quota::until(now()), "reset");
    EXPECT_EQ(Quota::until(now() + 3 * 3600 + 5 * 60), "3:05h");
    EXPECT_EQ(Quota::until(now() + 2 * 86400 + 3600), "2d");
    EXPECT_EQ(Quota::until(now() + 172800), "2d");
    EXPECT_EQ(Quota::until(now() + 172799), "47:59h");
    EXPECT_EQ(Quota::until(now() + 3600), "1:00h");
    EXPECT_EQ(Quota::until(now() + 3599), "59m");
    EXPECT_EQ(Quota::until(now() + 30), "0m");
  }
  ScopedLanguage he("he");
  EXPECT_EQ(Quota::until(now() - 1), "נאפס");
  EXPECT_EQ(Quota::until(now() + 3 * 3600 + 5 * 60), "3:05 שע׳");
  EXPECT_EQ(Quota::until(now() + 5 * 86400), "5 ימים");
  EXPECT_EQ(Quota::until(now() + 12 * 60), "12 דק׳");
}

}  // namespace
