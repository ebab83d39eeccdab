#include "page/panel.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/caches.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/settings.h"
#include "page/muted.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "terminals/discover.h"

using nlohmann::json;

namespace {

// Fixes the interface language for one test.
class ScopedLang {
 public:
  explicit ScopedLang(const char* code) {
    ::setenv("VELMO_LANG", code, 1);
    Caches::emptyAll();
  }
  ~ScopedLang() {
    ::unsetenv("VELMO_LANG");
    Caches::emptyAll();
  }
};

Terminal term(const std::string& slot, const std::string& sid = "") {
  Terminal t;
  t.slot = slot;
  t.tty = "/dev/pts/" + std::to_string(std::stoi(slot));
  t.sessionID = sid;
  t.waiting = false;
  t.uptime = 30;
  return t;
}

SessionState session(SessionState::Mode mode, Clock::Time lastEvent) {
  SessionState s;
  s.id = "s";
  s.mode = mode;
  s.lastEvent = lastEvent;
  s.title = "Cart totals";
  s.snippet = "All tests pass.";
  s.activity = "Editing cart.ts";
  return s;
}

PendingQuestion colourQuestion() {
  PendingQuestion q;
  q.sid = "s1";
  q.toolID = "toolu_01";
  q.kind = "ask";
  q.since = 1.8e9 - 120;
  q.parts = {{"Which colour should the login button be? It shows on every page.",
              "Colour",
              false,
              {{"Blue", "Matches the brand palette"}, {"Green", "Reads as go"}}}};
  return q;
}

Terminals::Picker colourPicker(const std::string& tty) {
  Terminals::Picker p;
  p.tty = tty;
  p.question = "Which colour should the login button be?";
  p.options = {{"1", "Blue", "Matches the brand palette"}, {"2", "Green", "Reads as go"}};
  p.context = "Let me check with you first.";
  p.freeRow = 3;
  return p;
}

Terminals::PickerScan readable(std::vector<Terminals::Picker> list = {}) {
  Terminals::PickerScan scan;
  scan.readable = true;
  scan.list = std::move(list);
  return scan;
}

std::vector<std::string> slots(const std::vector<Panel::Unit>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(r.slot);
  return out;
}

}  // namespace

// ---- display helpers ----

TEST(PanelText, AgeCountsMinutesHoursAndDaysAtTheirEdges) {
  ScopedLang lang("en");
  FakeClock clock;
  Clock::Time now = clock.now();
  EXPECT_EQ(Panel::age(now - 59, 0), "now");
  EXPECT_EQ(Panel::age(now - 60, 0), "1m ago");
  EXPECT_EQ(Panel::age(now - 59 * 60 - 59, 0), "59m ago");
  EXPECT_EQ(Panel::age(now - 1439 * 60, 0), "23h ago");
  EXPECT_EQ(Panel::age(now - 1440 * 60, 0), "1d ago");
  EXPECT_EQ(Panel::age(std::nullopt, 7200), "2h ago");
  EXPECT_EQ(Panel::age(now + 500, 0), "now");  // a clock that went backwards
}

TEST(PanelText, HebrewAgeAndRunningTime) {
  ScopedLang lang("he");
  FakeClock clock;
  Clock::Time now = clock.now();
  EXPECT_EQ(Panel::age(now - 10, 0), "עכשיו");
  EXPECT_EQ(Panel::age(now - 5 * 60, 0), "לפני 5ד");
  EXPECT_EQ(Panel::age(now - 3 * 3600, 0), "לפני 3ש");
  EXPECT_EQ(Panel::age(now - 2 * 86400, 0), "לפני 2י");
  EXPECT_EQ(Panel::since(now - 42), "42 שנ׳");
  EXPECT_EQ(Panel::since(now - 3900), "1:05 שע׳");
}

TEST(PanelText, RunningTimeFormats) {
  ScopedLang lang("en");
  FakeClock clock;
  Clock::Time now = clock.now();
  EXPECT_EQ(Panel::since(now - 42), "42s");
  EXPECT_EQ(Panel::since(now - 187), "3:07");
  EXPECT_EQ(Panel::since(now - 3900), "1:05h");
  EXPECT_EQ(Panel::since(now + 30), "0s");
}

TEST(PanelText, TitlePrefersTheUsersNameThenTitleWindowProjectAndSlot) {
  ScopedLang lang("en");
  Terminal t = term("007", "s7");
  t.windowTitle = "vim cart.ts";
  SessionState s = session(SessionState::Mode::quiet, 0);
  s.project = "shop";
  EXPECT_EQ(Panel::title(t, s, "Checkout"), "Checkout");
  EXPECT_EQ(Panel::title(t, s), "Cart totals");
  s.title = "";
  EXPECT_EQ(Panel::title(t, s), "vim cart.ts");
  t.windowTitle = "";
  EXPECT_EQ(Panel::title(t, s), "shop");
  EXPECT_EQ(Panel::title(t, std::nullopt), "terminal 007");
  // A name needs a session to belong to.
  EXPECT_EQ(Panel::title(term("009"), std::nullopt, "Stray"), "terminal 009");
  ScopedLang he("he");
  EXPECT_EQ(Panel::title(t, std::nullopt), "מסוף 007");
}

TEST(PanelText, SayAndLabelFollowTheMode) {
  ScopedLang lang("en");
  auto working = session(SessionState::Mode::working, 0);
  EXPECT_EQ(Panel::say(SessionState::Mode::working, working), "Editing cart.ts");
  working.activity = "";
  EXPECT_EQ(Panel::say(SessionState::Mode::working, working), "All tests pass.");
  EXPECT_EQ(Panel::say(SessionState::Mode::waiting, session(SessionState::Mode::waiting, 0)),
            "All tests pass.");
  EXPECT_EQ(Panel::say(SessionState::Mode::quiet, std::nullopt),
            "No log registered for this terminal");
  EXPECT_EQ(Panel::label(SessionState::Mode::working), "working");
  EXPECT_EQ(Panel::label(SessionState::Mode::waiting), "waiting for you");
  EXPECT_EQ(Panel::label(SessionState::Mode::quiet), "idle");
  EXPECT_EQ(Panel::tokens(999), "999");
  EXPECT_EQ(Panel::tokens(153400), "153k");
}

// ---- rack rows ----

TEST(PanelRow, ProcessWithoutRecordIsNotRespondingUnlessItsScreenAsks) {
  ScopedHome home;
  ScopedLang lang("en");
  Terminal t = term("009");
  t.waiting.reset();
  json row = Panel::unitRow(t, std::nullopt, {});
  EXPECT_EQ(row["state"], "quiet");
  EXPECT_EQ(row["stateLabel"], "not responding");
  EXPECT_EQ(row["say"],
            "Claude Code keeps no record of this process. It is probably stuck or gone.");
  EXPECT_EQ(row["path"], "");
  EXPECT_EQ(row["moved"], 0);
  EXPECT_TRUE(row["moved"].is_number_integer());
  EXPECT_EQ(row["age"], "now");

  Panel::RowExtras extras;
  extras.ask = Panel::screenAsk(colourPicker(t.tty), t.tty);
  row = Panel::unitRow(t, std::nullopt, extras);
  EXPECT_EQ(row["state"], "ask");
  EXPECT_EQ(row["stateLabel"], "asking you");
}

TEST(PanelRow, ContextFillUsesTheWindowSetting) {
  ScopedHome home;
  auto s = session(SessionState::Mode::working, 1.8e9);
  s.contextTokens = 150000;
  json row = Panel::unitRow(term("001", "s1"), s, {});
  EXPECT_EQ(row["context"], "150k");
  EXPECT_TRUE(row["full"].is_number_float());
  EXPECT_DOUBLE_EQ(row["full"].get<double>(), 0.15);

  ASSERT_TRUE(Settings::set("relayWindow", 200000));
  EXPECT_DOUBLE_EQ(json(Panel::unitRow(term("001", "s1"), s, {}))["full"].get<double>(), 0.75);

  s.contextTokens = 0;
  row = Panel::unitRow(term("001", "s1"), s, {});
  EXPECT_EQ(row["context"], "");
  EXPECT_TRUE(row["full"].is_number_integer());
  EXPECT_FALSE(row.contains("ctxLevel"));
}

TEST(PanelRow, ContextFillFollowsTheSessionsModel) {
  ScopedHome home;
  auto s = session(SessionState::Mode::working, 1.8e9);
  s.contextTokens = 150000;
  s.modelID = "claude-sonnet-4-5-20250929";  // a 200,000-token model
  json row = Panel::unitRow(term("001", "s1"), s, {});
  EXPECT_DOUBLE_EQ(row["full"].get<double>(), 0.75);

  // Started as its million-token variant: the same context is 15% of that.
  Terminal wide = term("001", "s1");
  wide.modelArg = "sonnet[1m]";
  row = Panel::unitRow(wide, s, {});
  EXPECT_DOUBLE_EQ(row["full"].get<double>(), 0.15);
  EXPECT_EQ(row["ctxLevel"], "");

  // A model of a family that holds a million natively.
  s.modelID = "claude-opus-5-5";
  EXPECT_DOUBLE_EQ(json(Panel::unitRow(term("001", "s1"), s, {}))["full"].get<double>(), 0.15);

  // The setting still overrides the model's own window.
  s.modelID = "claude-sonnet-4-5-20250929";
  ASSERT_TRUE(Settings::set("relayWindow", 300000));
  EXPECT_DOUBLE_EQ(json(Panel::unitRow(term("001", "s1"), s, {}))["full"].get<double>(), 0.5);
}

TEST(PanelRow, SessionFieldsPlanAskAndBackgroundOverrides) {
  ScopedHome home;
  ScopedLang lang("en");
  FakeClock clock;
  auto s = session(SessionState::Mode::working, clock.now() - 300.5);
  s.cwd = home.path() + "/shop";
  s.model = "Opus";
  s.agentsRunning = 2;
  json row = Panel::unitRow(term("007", "s7"), s, {});
  EXPECT_EQ(row["state"], "run");
  EXPECT_EQ(row["path"], "~/shop");
  EXPECT_EQ(row["age"], "5m ago");
  EXPECT_EQ(row["agents"], 2);
  EXPECT_TRUE(row["moved"].is_number_float());
  EXPECT_EQ(row["say"], "Editing cart.ts");
  EXPECT_FALSE(row.contains("ask"));
  EXPECT_FALSE(row.contains("muted"));
  EXPECT_EQ(row["stamp"], std::to_string(static_cast<long long>(clock.now() - 300.5)) + "|");

  PendingQuestion plan;
  plan.kind = "plan";
  plan.plan = "1. Add the column";
  Panel::RowExtras extras;
  extras.ask = Panel::askPayload(plan, "/dev/pts/7");
  row = Panel::unitRow(term("007", "s7"), s, extras);
  EXPECT_EQ(row["state"], "ask");
  EXPECT_EQ(row["stateLabel"], "wants approval");
  EXPECT_EQ(row["stamp"], std::to_string(static_cast<long long>(clock.now() - 300.5)) +
                              "|Approve the plan and start building?");

  Terminal bg = term("012", "s12");
  bg.windowless = true;
  row = Panel::unitRow(bg, s, {});
  EXPECT_EQ(row["windowless"], true);
  EXPECT_EQ(row["say"], "Running in the background with no window. \"To window\" opens one.");
}

TEST(PanelSort, AskingWorkingWaitingIdleThenTakenDown) {
  auto row = [](const std::string& slot, const std::string& state, std::optional<double> moved,
                bool muted = false) {
    Panel::Unit r;
    r.slot = slot;
    r.state = state;
    r.moved = moved;
    r.muted = muted;
    return r;
  };
  std::vector<Panel::Unit> rows = {
      row("001", "quiet", 500.0),   row("002", "ask", 10.0, true), row("003", "wait", 100.0),
      row("004", "run", 50.0),      row("005", "ask", 20.0),       row("006", "run", 90.0),
      row("007", "strange", 900.0), row("008", "quiet", {}),       row("009", "quiet", -5.0),
  };
  Panel::sortUnits(rows);
  EXPECT_EQ(slots(rows), (std::vector<std::string>{"005", "006", "004", "003", "007", "001", "008",
                                                   "009", "002"}));
}

TEST(PanelSort, EqualStateAndMomentFallBackToSlotText) {
  auto row = [](const std::string& slot, const std::string& state, std::optional<double> moved) {
    Panel::Unit r;
    r.slot = slot;
    r.state = state;
    r.moved = moved;
    return r;
  };
  std::vector<Panel::Unit> rows = {
      row("9", "wait", 5.0),
      row("10", "wait", 5.0),
      // A row without session has no moment: it counts as 0, like another 0.
      row("3", "quiet", {}),
      row("2", "quiet", 0.0),
  };
  Panel::sortUnits(rows);
  EXPECT_EQ(slots(rows), (std::vector<std::string>{"10", "9", "2", "3"}));
}

// ---- questions ----

TEST(PanelAsk, PickerMatchingTheLoggedQuestionGivesTheLoggedPayloadWithTheScreensFreeRow) {
  ScopedLang lang("en");
  FakeClock clock;
  Terminal t = term("003", "s1");
  auto q = colourQuestion();
  auto ask = Panel::resolveAsk(t, readable({colourPicker(t.tty)}), {t.tty}, q);
  ASSERT_TRUE(ask);
  EXPECT_EQ((*ask)["id"], "toolu_01");
  EXPECT_EQ((*ask)["head"], "Colour");
  EXPECT_EQ((*ask)["since"], "2m ago");
  EXPECT_EQ((*ask)["freeRow"], 3);
  EXPECT_EQ((*ask)["context"], "Let me check with you first.");
  EXPECT_FALSE(ask->contains("unwritten"));
  const json& part = (*ask)["parts"][0];
  EXPECT_EQ(part["free"], 3);
  EXPECT_EQ(part["choices"][1], (json{{"label", "Green"}, {"detail", "Reads as go"}, {"n", "2"}}));

  // The log's own context wins over the screen's.
  q.context = "I found two palettes.";
  EXPECT_EQ((*Panel::resolveAsk(t, readable({colourPicker(t.tty)}), {t.tty}, q))["context"],
            "I found two palettes.");
}

TEST(PanelAsk, PickerNotInTheLogIsUnwritten) {
  ScopedLang lang("en");
  Terminal t = term("003", "s1");
  auto picker = colourPicker(t.tty);
  picker.question = "Do you want to proceed?";
  picker.options = {{"1", "Yes", ""}, {"4", "No", ""}};
  auto ask = Panel::resolveAsk(t, readable({picker}), {t.tty}, colourQuestion());
  ASSERT_TRUE(ask);
  EXPECT_EQ((*ask)["unwritten"], true);
  EXPECT_EQ((*ask)["id"], "");
  EXPECT_EQ((*ask)["head"], "asking you");
  EXPECT_EQ((*ask)["parts"][0]["question"], "Do you want to proceed?");
  EXPECT_EQ((*ask)["parts"][0]["choices"][1]["n"], "4");
  EXPECT_EQ((*ask)["parts"][0]["free"], 0);
}

// A permission or plan prompt read off the screen brings what it asks to approve; an
// agent's own question does not (the lines above it are its header, not its subject).
TEST(PanelAsk, PermissionAndPlanBringTheLinesAboveTheirOptions) {
  ScopedLang lang("en");
  Terminal t = term("003", "s1");
  auto fetch = colourPicker(t.tty);
  fetch.question = "Do you want to allow Claude to fetch this content?";
  fetch.options = {{"1", "Yes", ""}, {"2", "No", ""}};
  fetch.freeRow = 0;
  fetch.body = {"Fetch", "url: http://127.0.0.1:9/" + std::string(600, 'p')};
  auto ask = Panel::resolveAsk(t, readable({fetch}), {t.tty}, std::nullopt);
  ASSERT_TRUE(ask);
  EXPECT_EQ((*ask)["body"], json(fetch.body));

  auto plan = fetch;
  plan.question = "Ready to code?";
  plan.body = {"Here is Claude's plan:", "Add a dark theme", "Would you like to proceed?"};
  ask = Panel::resolveAsk(t, readable({plan}), {t.tty}, std::nullopt);
  ASSERT_TRUE(ask);
  EXPECT_EQ((*ask)["kind"], "plan");
  EXPECT_EQ((*ask)["body"], json(plan.body));

  auto colour = colourPicker(t.tty);
  colour.body = {"☐ Colour"};
  ask = Panel::resolveAsk(t, readable({colour}), {t.tty}, std::nullopt);
  ASSERT_TRUE(ask);
  EXPECT_FALSE(ask->contains("body"));
}

TEST(PanelAsk, ClearScreenDecidesByTheWaitingFlag) {
  ScopedLang lang("en");
  Terminal t = term("003", "s1");
  auto q = colourQuestion();

  t.waiting = true;
  auto ask = Panel::resolveAsk(t, readable(), {t.tty}, q);
  ASSERT_TRUE(ask);
  EXPECT_EQ((*ask)["parts"][0]["question"], "A question is open in the terminal");
  EXPECT_EQ((*ask)["parts"][0]["choices"], json::array());

  // The log alone is not believed over a screen that shows nothing.
  t.waiting.reset();
  EXPECT_FALSE(Panel::resolveAsk(t, readable(), {t.tty}, q));
  t.waiting = false;
  EXPECT_FALSE(Panel::resolveAsk(t, readable(), {t.tty}, q));
}

TEST(PanelAsk, UnreadScreenFallsBackToTheLog) {
  ScopedLang lang("en");
  Terminal t = term("003", "s1");
  auto q = colourQuestion();
  // The pass read other terminals only: this one's screen says nothing either way.
  Terminals::PickerScan scan = readable({colourPicker(t.tty)});
  t.waiting.reset();
  EXPECT_EQ((*Panel::resolveAsk(t, scan, {"/dev/pts/99"}, q))["id"], "toolu_01");
  t.waiting = true;
  EXPECT_EQ((*Panel::resolveAsk(t, {}, {}, q))["id"], "toolu_01");
  EXPECT_EQ((*Panel::resolveAsk(t, {}, {}, std::nullopt))["unwritten"], true);
  t.waiting = false;
  EXPECT_FALSE(Panel::resolveAsk(t, {}, {}, q));
}

TEST(PanelAsk, PlanHasTheTwoFixedChoices) {
  ScopedLang lang("en");
  PendingQuestion plan;
  plan.sid = "s1";
  plan.toolID = "toolu_09";
  plan.kind = "plan";
  plan.plan = "## Plan\n1. Add the column";
  json ask = Panel::askPayload(plan, "/dev/pts/3");
  EXPECT_EQ(ask["head"], "Plan approval");
  EXPECT_EQ(ask["plan"], "## Plan\n1. Add the column");
  ASSERT_EQ(ask["parts"].size(), 1u);
  EXPECT_EQ(ask["parts"][0]["header"], "plan");
  EXPECT_EQ(ask["parts"][0]["free"], 0);
  EXPECT_EQ(ask["parts"][0]["choices"],
            (json::array({{{"label", "Yes, start"}, {"detail", ""}, {"n", "1"}},
                          {{"label", "No, let us talk about it"}, {"detail", ""}, {"n", "2"}}})));

  auto q = colourQuestion();
  q.parts[0].header = "";
  EXPECT_EQ(Panel::askPayload(q, "")["head"], "question");
  EXPECT_FALSE(Panel::askPayload(q, "").contains("plan"));

  ScopedLang he("he");
  EXPECT_EQ(Panel::askPayload(plan, "")["parts"][0]["choices"][0]["label"], "כן, תתחיל");
}

TEST(PanelAsk, LiveAskMarksBackgroundSessions) {
  Terminal t = term("003", "s1");
  t.windowless = true;
  t.waiting = true;
  auto ask = Panel::liveAsk(t, {}, {}, colourQuestion());
  ASSERT_TRUE(ask);
  EXPECT_EQ((*ask)["windowless"], true);
  EXPECT_EQ((*ask)["paths"], json::array());
}

// ---- muted store ----

TEST(Muted, StampDropsTheFraction) {
  EXPECT_EQ(Muted::stamp(1700000000.9, "Which colour?"), "1700000000|Which colour?");
  EXPECT_EQ(Muted::stamp(std::nullopt, ""), "0|");
  EXPECT_EQ(Muted::stamp(Clock::kDistantPast, "x"), "0|x");
}

TEST(Muted, AnotherVelmosMuteSurvivesThisOnesChangesAndItsLapse) {
  ScopedHome home;
  Muted::set("s1", "100|Which colour?");
  EXPECT_TRUE(Muted::is("s1", "100|Which colour?"));
  // Another Velmo mutes s2.
  ASSERT_TRUE(Files::writeAtomic(home.agent("velmo-muted.json"),
                                 json{{"s1", "100|Which colour?"}, {"s2", "200|"}}.dump()));
  // This one's scan finds s1 moved on, and its page mutes s3: s2 stays through both.
  EXPECT_FALSE(Muted::is("s1", "160|Which size?"));
  Muted::set("s3", "300|");
  EXPECT_EQ(json::parse(*Files::read(home.agent("velmo-muted.json"))),
            (json{{"s2", "200|"}, {"s3", "300|"}}));
}

TEST(Muted, AMuteLapsesWhenTheSessionMovesOn) {
  ScopedHome home;
  Muted::set("s1", "100|Which colour?");
  Muted::set("s2", "200|");
  EXPECT_TRUE(Muted::is("s1", "100|Which colour?"));
  EXPECT_FALSE(Muted::is("s3", "100|Which colour?"));
  auto text = Files::read(home.agent("velmo-muted.json"));
  ASSERT_TRUE(text);
  EXPECT_EQ(json::parse(*text), (json{{"s1", "100|Which colour?"}, {"s2", "200|"}}));
  EXPECT_NE(text->find("\n  \""), std::string::npos);  // pretty-printed

  EXPECT_FALSE(Muted::is("s1", "160|Which colour?"));
  EXPECT_EQ(Muted::all(), (std::map<std::string, std::string>{{"s2", "200|"}}));
  EXPECT_FALSE(Muted::is("s1", "100|Which colour?"));

  Muted::set("s9", std::nullopt);
  EXPECT_EQ(json::parse(*Files::read(home.agent("velmo-muted.json"))), (json{{"s2", "200|"}}));
  Muted::set("s2", std::nullopt);
  EXPECT_TRUE(Muted::all().empty());
}

TEST(Muted, UnreadableFileFallsBackToTheOldSetting) {
  ScopedHome home;
  ASSERT_TRUE(Settings::set("mutedRows", json{{"s1", "5|q"}}));
  EXPECT_EQ(Muted::all(), (std::map<std::string, std::string>{{"s1", "5|q"}}));
  home.write(".claude/velmo-muted.json", "{\"s1\": 5}");  // not an object of texts
  EXPECT_TRUE(Muted::is("s1", "5|q"));
  home.write(".claude/velmo-muted.json", "{broken");
  Muted::set("s2", "7|");
  EXPECT_EQ(Muted::all(), (std::map<std::string, std::string>{{"s1", "5|q"}, {"s2", "7|"}}));
  // The setting is never written.
  EXPECT_EQ(*Settings::value("mutedRows"), (json{{"s1", "5|q"}}));
}

TEST(PanelRow, MutedQuestionComesBackWithTheNextEvent) {
  ScopedHome home;
  FakeClock clock;
  Terminal t = term("003", "s1");
  auto s = session(SessionState::Mode::waiting, clock.now() - 30);
  Panel::RowExtras extras;
  extras.ask = Panel::askPayload(colourQuestion(), t.tty);
  json row = Panel::unitRow(t, s, extras);
  EXPECT_FALSE(row.contains("muted"));
  Muted::set("s1", row["stamp"].get<std::string>());
  row = Panel::unitRow(t, s, extras);
  EXPECT_EQ(row["muted"], true);
  EXPECT_TRUE(Panel::muted(t, s.lastEvent, extras.ask));

  std::vector<Panel::Unit> rows = {
      Panel::unitRow(term("004", "s4"), session(SessionState::Mode::quiet, 0), {}),
      Panel::unitRow(t, s, extras)};
  Panel::sortUnits(rows);
  EXPECT_EQ(rows.back().slot, "003");

  s.lastEvent = clock.now();
  row = Panel::unitRow(t, s, extras);
  EXPECT_FALSE(row.contains("muted"));
  EXPECT_EQ(row["state"], "ask");
  EXPECT_TRUE(Muted::all().empty());
  rows = {Panel::unitRow(term("004", "s4"), session(SessionState::Mode::quiet, 0), {}),
          Panel::unitRow(t, s, extras)};
  Panel::sortUnits(rows);
  EXPECT_EQ(rows.front().slot, "003");
}

TEST(Panel, BuildersWithNothingOpenGiveEmptyLists) {
  ScopedHome home;
  // Agents the machine itself runs must not leak into the test.
  Terminals::installPsRunner([] { return std::optional<std::string>(""); });
  EXPECT_EQ(json(Panel::units()), json::array());
  EXPECT_EQ(Panel::alerts("s1"), json::array());
  EXPECT_EQ(Panel::liveAsks(), json::array());
  Terminals::installPsRunner(nullptr);
}
