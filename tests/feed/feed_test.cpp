// The state file: its entries, its owner-only files, and the three filters that keep the
// disk quiet (coalesced pokes, the cheap signature, the unchanged text).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>

#include "base/caches.h"
#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "feed/state_feed.h"
#include "support/terminal_rig.h"

namespace {

mode_t modeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

ino_t inodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Delayed passes wait here until the test's clock reaches them.
struct ManualAfter {
  FakeClock& clock;
  std::deque<std::pair<Clock::Time, Job>> due;

  explicit ManualAfter(FakeClock& c) : clock(c) {
    StateFeed::installAfter([this](double seconds, Job job) {
      due.emplace_back(clock.now() + seconds, std::move(job));
    });
  }
  ~ManualAfter() { StateFeed::installAfter(nullptr); }

  /// Runs every pass whose time has come, on the feed's queue; how many ran.
  int runDue() {
    StateFeed::drain();
    int ran = 0;
    while (!due.empty() && due.front().first <= clock.now()) {
      StateFeed::onQueue(std::move(due.front().second));
      due.pop_front();
      StateFeed::drain();
      ++ran;
    }
    return ran;
  }
};

class Feed : public ::testing::Test {
 protected:
  void SetUp() override { Caches::emptyAll(); }
  void TearDown() override { Caches::emptyAll(); }

  /// One poke, taken by the feed, and the pass it schedules.
  void pass() {
    StateFeed::poke();
    StateFeed::drain();
    rig.clock.advance(0.3);
    after.runDue();
  }

  TerminalRig rig;
  ManualAfter after{rig.clock};
};

Terminal term(const std::string& sid = "s1") {
  Terminal t;
  t.tty = "/dev/pts/3";
  t.slot = "003";
  t.pid = 300;
  t.sessionID = sid;
  return t;
}

}  // namespace

TEST_F(Feed, TenPokesWithinAFifthOfASecondGiveOnePass) {
  rig.agent(300, 3, "s1");
  StateFeed::poke();
  StateFeed::drain();  // the delay counts from when the feed took the first poke
  for (int i = 1; i < 10; ++i) {
    rig.clock.advance(0.02);
    StateFeed::poke();
  }
  EXPECT_EQ(after.runDue(), 0);  // 0.18 s in: the pass is still to come
  EXPECT_EQ(after.due.size(), 1u);
  rig.clock.advance(0.15);
  EXPECT_EQ(after.runDue(), 1);
  EXPECT_EQ(StateFeed::passes(), 1u);
  ASSERT_TRUE(Files::exists(StateFeed::stateFile()));

  // A poke after the pass schedules the next one.
  pass();
  EXPECT_EQ(StateFeed::passes(), 2u);
}

TEST_F(Feed, OwnerOnlyFromTheFirstMomentAndRewrittenOnlyOnChange) {
  ::umask(0);  // the loosest mask a user could have
  rig.agent(300, 3, "s1");
  pass();
  ::umask(022);
  std::string file = StateFeed::stateFile();
  EXPECT_EQ(modeOf(StateFeed::dir()), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);
  auto doc = nlohmann::json::parse(Files::read(file).value_or(""), nullptr, false);
  ASSERT_TRUE(doc.is_object());
  EXPECT_EQ(doc["version"], 1);
  ASSERT_EQ(doc["sessions"].size(), 1u);
  EXPECT_EQ(doc["sessions"][0]["sessionId"], "s1");
  EXPECT_EQ(doc["sessions"][0]["status"], "idle");
  EXPECT_EQ(doc["notifications"]["macOS"], "unknown");

  // Nothing moved: no new file. A prompt appears: a new one.
  ino_t first = inodeOf(file);
  pass();
  EXPECT_EQ(inodeOf(file), first);
  rig.host.show("/dev/pts/3", Screens::ask("Which colour?", {"Blue", "Green"}));
  Terminals::pickers(true);
  pass();
  EXPECT_NE(inodeOf(file), first);
  doc = nlohmann::json::parse(Files::read(file).value_or(""), nullptr, false);
  EXPECT_EQ(doc["sessions"][0]["status"], "waiting-on-question");
  EXPECT_EQ(doc["screenReadable"], true);

  // Switching notifications off shows in the file too.
  Settings::set("notifyOn", false);
  pass();
  doc = nlohmann::json::parse(Files::read(file).value_or(""), nullptr, false);
  EXPECT_EQ(doc["notifications"]["on"], false);
}

TEST_F(Feed, TheTickSeesTheSameScreenPassAsTheFile) {
  rig.agent(300, 3, "s1");
  rig.host.show("/dev/pts/3", Screens::permission());
  Terminals::pickers(true);
  std::vector<std::string> seen;
  StateFeed::setTick(
      [&](const std::vector<Terminal>& terms, const std::vector<Terminals::Picker>& ps) {
        seen.push_back(std::to_string(terms.size()) + ":" + std::to_string(ps.size()));
      });
  pass();
  StateFeed::setTick(nullptr);
  EXPECT_EQ(seen, std::vector<std::string>{"1:1"});
}

TEST_F(Feed, PrivateFilesAreAppendedOwnerOnly) {
  std::string log = StateFeed::dir() + "/notify.log";
  EXPECT_TRUE(StateFeed::appendPrivate("one", log));
  EXPECT_TRUE(StateFeed::appendPrivate("two\n", log));
  EXPECT_EQ(Files::read(log).value_or(""), "one\ntwo\n");
  EXPECT_EQ(modeOf(log), 0600u);
  ::chmod(StateFeed::dir().c_str(), 0755);
  StateFeed::ensureDir();
  EXPECT_EQ(modeOf(StateFeed::dir()), 0700u);
}

TEST(FeedEntry, PlanWithoutAReadableScreenIsNotAnswerable) {
  PendingQuestion plan;
  plan.toolID = "toolu_plan1";
  plan.kind = "plan";
  plan.plan = "1. Build it\n2. Ship it with token: abcdef123456";
  plan.context = "Here is my plan.";
  StateFeed::EntryInputs in;
  in.pending = plan;
  in.screenVisible = false;
  auto e = StateFeed::entry(term(), in);
  ASSERT_EQ(e["questions"].size(), 1u);
  auto q = e["questions"][0];
  EXPECT_EQ(q["id"], "toolu_plan1");
  EXPECT_EQ(q["kind"], "plan");
  EXPECT_EQ(q["form"], "tool-permission");
  EXPECT_EQ(q["gate"], "orlen-click");
  EXPECT_EQ(q["answerable"], false);
  EXPECT_EQ(q["why"], "screen not readable — answer in the terminal");
  EXPECT_EQ(q["question"], "Approve the plan?");
  EXPECT_EQ(q["plan"], "1. Build it\n2. Ship it with token: [redacted]");
  EXPECT_EQ(e["status"], "waiting-on-permission");
  EXPECT_EQ(e["screenVisible"], false);
  EXPECT_TRUE(e["windowId"].is_null());
}

// What a permission or plan approval approves is in the picture whole: a long plan from the
// log, and every line the screen shows above a prompt's options.
TEST(FeedEntry, WhatIsApprovedIsCarriedWhole) {
  PendingQuestion plan;
  plan.toolID = "toolu_plan2";
  plan.kind = "plan";
  for (int i = 1; i <= 80; ++i) plan.plan += std::to_string(i) + ". Change part " + std::to_string(i) + "\n";
  plan.plan += "81. Ship it";
  StateFeed::EntryInputs in;
  in.pending = plan;
  in.screenVisible = false;
  auto unseen = StateFeed::entry(term(), in)["questions"][0];
  EXPECT_EQ(unseen["plan"], plan.plan);

  auto screen = Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/perm-bash-long.txt");
  ASSERT_TRUE(screen);
  auto p = Terminals::parseScreen(*screen, "/dev/pts/3");
  ASSERT_TRUE(p);
  auto q = StateFeed::describe(*p, 0, std::nullopt);
  EXPECT_EQ(q["kind"], "permission");
  EXPECT_EQ(q["body"], Text::join(p->body, "\n"));
  EXPECT_NE(q["body"].get<std::string>().find("velmo-word-040 > velmo-long.txt"), std::string::npos);
}

TEST(FeedEntry, AQuestionOnScreenCarriesItsPartsAndTheScreenWins) {
  auto p = Terminals::parseScreen(Screens::ask("Which colour?", {"Blue", "Green"}), "/dev/pts/3");
  ASSERT_TRUE(p);
  PendingQuestion q;
  q.toolID = "toolu_1";
  q.kind = "ask";
  q.parts = {AskPart{"Which colour?", "Colour", false, {{"Blue", "Calm"}, {"Green", "Go"}}}};
  StateFeed::EntryInputs in;
  in.screenVisible = true;
  in.picker = p;
  in.pending = q;
  in.windowId = 7;
  in.userName = "front end";
  in.state = SessionState{};
  in.state->title = "Some title";
  in.state->contextTokens = 123456;
  in.relayWindow = 0;
  auto e = StateFeed::entry(term(), in);
  EXPECT_EQ(e["name"], "front end");
  EXPECT_EQ(e["windowId"], 7);
  EXPECT_DOUBLE_EQ(e["contextFill"].get<double>(), 0.123);
  // The fill is of the session's own model's window; the setting overrides it.
  in.state->modelID = "claude-opus-4-5-20251101";
  EXPECT_DOUBLE_EQ(StateFeed::entry(term(), in)["contextFill"].get<double>(), 0.617);
  in.relayWindow = 400000;
  EXPECT_DOUBLE_EQ(StateFeed::entry(term(), in)["contextFill"].get<double>(), 0.308);
  in.relayWindow = 0;
  in.state->modelID.clear();
  auto item = e["questions"][0];
  EXPECT_EQ(item["id"], StateFeed::questionID(*p));
  EXPECT_EQ(item["kind"], "ask");
  EXPECT_EQ(item["gate"], "routine");
  EXPECT_EQ(item["header"], "Colour");
  EXPECT_EQ(item["freeText"], 3);
  EXPECT_EQ(item["options"].size(), 2u);
  EXPECT_EQ(item["parts"][0]["options"][1]["description"], "Go");
  EXPECT_EQ(e["status"], "waiting-on-question");

  // A screen that was read and shows no prompt means no question, whatever the transcript says.
  in.picker.reset();
  e = StateFeed::entry(term(), in);
  EXPECT_TRUE(e["questions"].empty());
}

TEST(FeedEntry, StatusFollowsTheRecordThenTheMode) {
  auto statusOf = [](const std::string& record, SessionState::Mode mode) {
    Terminal t = term();
    t.status = record;
    StateFeed::EntryInputs in;
    in.state = SessionState{};
    in.state->mode = mode;
    return StateFeed::entry(t, in)["status"].get<std::string>();
  };
  EXPECT_EQ(statusOf("shell", SessionState::Mode::quiet), "busy");
  EXPECT_EQ(statusOf("idle", SessionState::Mode::working), "idle");
  EXPECT_EQ(statusOf("", SessionState::Mode::working), "busy");
  EXPECT_EQ(statusOf("waiting", SessionState::Mode::waiting), "idle");
}
