#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>

#include "app/app_test_support.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/settings.h"

TEST_F(AppTest, NoScanRunsBeforeThePageHasLoaded) {
  make().scan();
  EXPECT_TRUE(bg.empty());
  app->pageLoaded();
  EXPECT_EQ(bg.size(), 1u);
}

TEST_F(AppTest, RequestsDuringAScanCollapseIntoOneFollowUp) {
  make().pageLoaded();  // scan 1 in flight
  ASSERT_EQ(bg.size(), 1u);
  app->scan();
  app->scan();
  EXPECT_EQ(bg.size(), 1u) << "a second body must not start while one is in flight";
  settle();
  EXPECT_EQ(unitBuilds, 2);
  EXPECT_FALSE(app->scanning());
  EXPECT_FALSE(app->queued());
}

TEST_F(AppTest, SwitchingTheConversationDuringAScanDiscardsItsResult) {
  chats["a"] = chat("a");
  chats["b"] = chat("b");
  make().conversation.setOpenSID("a");
  app->pageLoaded();
  bg.runQueued();                     // body built chat "a"
  app->conversation.setOpenSID("b");  // user switched meanwhile
  main.runQueued();                   // result lands: discarded, new scan at once
  EXPECT_TRUE(page.named("paint").empty());
  EXPECT_EQ(bg.size(), 1u);
  settle();
  ASSERT_EQ(page.named("paint").size(), 1u);
  EXPECT_EQ(page.lastPaint()["chat"]["sid"], "b");
}

TEST_F(AppTest, OpeningTheSpendViewDuringAScanDiscardsItsResult) {
  make().pageLoaded();
  bg.runQueued();
  app->receive(nlohmann::json::parse(R"({"act":"spend"})"));
  main.runQueued();
  EXPECT_TRUE(page.named("paint").empty());
  settle();
  EXPECT_EQ(page.lastPaint()["spend"]["board"], 1);
}

TEST_F(AppTest, AWiderWindowAskedForDuringAScanDiscardsItsResult) {
  chats["a"] = chat("a");
  make().conversation.setOpenSID("a");
  app->pageLoaded();
  bg.runQueued();  // body read 24 lines
  app->receive(nlohmann::json::parse(R"({"act":"more"})"));
  main.runQueued();
  EXPECT_TRUE(page.named("paint").empty());
  settle();
  EXPECT_EQ(page.named("paint").size(), 1u);
  EXPECT_EQ(chatWant, 80);
}

TEST_F(AppTest, ALostConversationFallsBackToTheRackInTheSamePaint) {
  units = {unit("a")};
  make().conversation.setOpenSID("gone");
  app->conversation.pending.push_back({"hello", clock.now()});
  app->pageLoaded();
  settle();
  EXPECT_EQ(app->conversation.openSID, "");
  EXPECT_TRUE(app->conversation.pending.empty());
  Settings::reload();
  EXPECT_EQ(Settings::text("openSID", "unset"), "");
  ASSERT_EQ(page.named("paint").size(), 1u);
  EXPECT_EQ(rack(), std::vector<std::string>{"a"});
  EXPECT_FALSE(page.lastPaint().contains("chat"));
}

TEST_F(AppTest, TheRackIsNotBuiltWhileAConversationIsOpen) {
  chats["a"] = chat("a");
  units = {unit("a")};
  make().conversation.setOpenSID("a");
  app->pageLoaded();
  settle();
  EXPECT_EQ(unitBuilds, 0);
  EXPECT_EQ(page.lastPaint()["units"], nlohmann::json::array());
}

TEST_F(AppTest, PendingTextsExpireAfterTwoMinutes) {
  chats["a"] = chat("a");
  make().conversation.setOpenSID("a");
  app->conversation.pending = {{"old", clock.now() - 121}, {"young", clock.now() - 119}};
  app->pageLoaded();
  settle();
  EXPECT_EQ(chatPending, nlohmann::json::array({"young"}));
  ASSERT_EQ(app->conversation.pending.size(), 1u);
  EXPECT_EQ(app->conversation.pending[0].text, "young");
}

TEST_F(AppTest, AnUnchangedPayloadIsNotSentAgainUntilThePageReloads) {
  units = {unit("a")};
  make().pageLoaded();
  settle();
  app->scan();
  settle();
  EXPECT_EQ(page.named("paint").size(), 1u);
  app->pageLoaded();
  settle();
  EXPECT_EQ(page.named("paint").size(), 2u);
}

TEST_F(AppTest, APaintThePageRejectedIsTriedAgain) {
  make();
  page.failWith = "ReferenceError: paint";
  testing::internal::CaptureStderr();
  app->pageLoaded();
  settle();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("painting failed — ReferenceError"),
            std::string::npos);
  EXPECT_EQ(app->lastPaint(), "");
  page.failWith.clear();
  app->scan();
  settle();
  EXPECT_EQ(page.named("paint").size(), 2u);
  EXPECT_NE(app->lastPaint(), "");
}

TEST_F(AppTest, AReplyFromBeforeAReloadDoesNotCountForTheNewPage) {
  make();
  page.hold = true;
  app->pageLoaded();
  settle();
  auto first = page.named("paint").at(0);
  app->pageLoaded();  // reload before the old page answered
  first.done(PageHost::Reply{});
  EXPECT_EQ(app->lastPaint(), "");
}

TEST_F(AppTest, NothingIsPaintedWithoutAPageButScansRun) {
  make();
  page.present = false;
  app->startWithoutPage();
  settle();
  EXPECT_EQ(unitBuilds, 1);
  EXPECT_TRUE(page.named("paint").empty());
}

TEST_F(AppTest, RackOrderKeepsRowsInPlaceAndPutsNewcomersOnTop) {
  units = {unit("a"), unit("b")};
  make().pageLoaded();
  settle();
  EXPECT_EQ(rack(), (std::vector<std::string>{"a", "b"}));

  units = {unit("b"), unit("c"), unit("a")};  // the builder re-sorted and "c" is new
  app->scan();
  settle();
  EXPECT_EQ(rack(), (std::vector<std::string>{"c", "a", "b"}));

  units = {unit("b"), unit("c")};  // "a" closed
  app->scan();
  settle();
  EXPECT_EQ(rack(), (std::vector<std::string>{"c", "b"}));

  app->run("refresh");
  settle();
  EXPECT_EQ(rack(), (std::vector<std::string>{"b", "c"}));
}

TEST(RackOrder, RowsWithoutASessionNeverHideEachOther) {
  std::vector<std::string> order;
  auto row = [](const std::string& sid, const std::string& tty) {
    Panel::Unit u;
    u.sid = sid;
    u.tty = tty;
    return u;
  };
  std::vector<Panel::Unit> units = {row("", "/dev/pts/1"), row("", "/dev/pts/2"),
                                    row("x", "/dev/pts/3"), row("x", "/dev/pts/4")};
  auto rows = orderRack(order, units);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(nlohmann::json(rows), nlohmann::json(units));
  // Stable on the next pass.
  EXPECT_EQ(nlohmann::json(orderRack(order, units)), nlohmann::json(units));
}

TEST_F(AppTest, StepWrapsBothWaysAndStartsAtTheTop) {
  units = {unit("a"), unit("b"), unit("c")};
  chats["a"] = chat("a");
  chats["b"] = chat("b");
  chats["c"] = chat("c");
  make().pageLoaded();
  settle();

  app->run("step", {{"by", 1}});  // nothing open: the first row
  EXPECT_EQ(app->conversation.openSID, "a");
  app->run("step", {{"by", -1}});
  EXPECT_EQ(app->conversation.openSID, "c");
  app->run("step", {{"by", 1}});
  EXPECT_EQ(app->conversation.openSID, "a");
  app->conversation.chatWant = 250;
  app->conversation.pending.push_back({"x", clock.now()});
  app->receive(nlohmann::json::parse(R"({"act":"step","by":1})"));
  EXPECT_EQ(app->conversation.openSID, "b");
  EXPECT_EQ(app->conversation.chatWant, 24);
  EXPECT_TRUE(app->conversation.pending.empty());
}

TEST_F(AppTest, StepOnAnEmptyRackDoesNothing) {
  make().pageLoaded();
  settle();
  app->run("step", {{"by", 1}});
  EXPECT_EQ(app->conversation.openSID, "");
  EXPECT_TRUE(bg.empty());
}

TEST_F(AppTest, OpenStateIsPersisted) {
  make().conversation.setOpenSID("s1");
  app->search.setQuery("needle");
  app->search.setOpen(true);
  app->document.setPath("/tmp/d.md");
  app.reset();
  Settings::reload();
  make();
  EXPECT_EQ(app->conversation.openSID, "s1");
  EXPECT_EQ(app->search.query, "needle");
  EXPECT_TRUE(app->search.open);
  EXPECT_EQ(app->document.path, "/tmp/d.md");
}

TEST_F(AppTest, ASlowScanIsLogged) {
  make();
  auto slow = sources();
  slow.units = [this] {
    clock.advance(3.5);
    return units;
  };
  AppDelegate::Hosts h{&page, &main, &dialogs, bg.poster(), {}};
  app = AppDelegate::make(h, slow);
  app->pageLoaded();
  settle();
  auto log = Files::read(Paths::agent("velmo-smart.log"));
  ASSERT_TRUE(log.has_value());
  EXPECT_NE(log->find(" SLOW SCAN 3.5s (chat 0.0s) sid= works=n agents=n\n"), std::string::npos)
      << *log;
}

TEST_F(AppTest, ChoresRunOnTheirOwnQueueWithoutPilingUp) {
  std::atomic<int> runs{0};
  auto s = sources();
  s.chores = [&] { ++runs; };
  AppDelegate::Hosts h{&page, &main, &dialogs, bg.poster(), {}};
  app = AppDelegate::make(h, s);
  app->pageLoaded();
  settle();
  app->scan();
  settle();
  app.reset();  // finishes the chores queue
  EXPECT_GE(runs.load(), 1);
  EXPECT_LE(runs.load(), 2);
}

TEST_F(AppTest, OnlyTheVelmoHoldingTheClaimDoesChoresAndTheOtherTakesOverWhenItQuits) {
  std::atomic<int> firstRuns{0}, secondRuns{0};
  int firstClaimed = 0, secondClaimed = 0;
  auto s1 = sources();
  s1.chores = [&] { ++firstRuns; };
  auto s2 = sources();
  s2.chores = [&] { ++secondRuns; };
  RecordingPage otherPage;
  AppDelegate::Hosts h1{&page, &main, &dialogs, bg.poster(), {}};
  AppDelegate::Hosts h2{&otherPage, &main, &dialogs, bg.poster(), {}};
  app = AppDelegate::make(h1, s1);
  app->whenClaimed([&] { ++firstClaimed; });
  app->launch();
  auto second = AppDelegate::make(h2, s2);
  second->whenClaimed([&] { ++secondClaimed; });
  second->launch();
  EXPECT_TRUE(app->owns());
  EXPECT_FALSE(second->owns());

  app->pageLoaded();
  second->pageLoaded();
  settle();
  EXPECT_EQ(firstClaimed, 1);
  EXPECT_EQ(secondClaimed, 0);
  EXPECT_FALSE(page.lastPaint().contains("viewer"));
  EXPECT_EQ(otherPage.lastPaint().value("viewer", false), true);
  // Who owns, as the lock file says; no control socket in this test, so none answers.
  auto owner = otherPage.lastPaint().value("owner", nlohmann::json::object());
  EXPECT_EQ(owner.value("pid", 0L), static_cast<long>(::getpid())) << owner.dump();
  EXPECT_EQ(owner.value("answers", true), false) << owner.dump();
  EXPECT_FALSE(owner.contains("fault")) << owner.dump();
  EXPECT_EQ(secondRuns.load(), 0) << "a viewer typed on its own";

  app.reset();  // the holder quits; its claim goes with it
  second->scan();
  settle();
  EXPECT_TRUE(second->owns());
  EXPECT_EQ(secondClaimed, 1);
  EXPECT_FALSE(otherPage.lastPaint().contains("viewer"));
  second.reset();
  EXPECT_GE(firstRuns.load(), 1);
  EXPECT_GE(secondRuns.load(), 1);
}

TEST_F(AppTest, TheContinueClickRunsOnTheChoresQueueBehindTheRelayPass) {
  std::mutex m;
  std::vector<std::string> ran;
  auto s = sources();
  s.chores = [&] {
    std::lock_guard<std::mutex> g(m);
    ran.push_back("tick");
  };
  s.relayGo = [&](const std::string& sid) {
    std::lock_guard<std::mutex> g(m);
    ran.push_back("go " + sid);
  };
  AppDelegate::Hosts h{&page, &main, &dialogs, bg.poster(), {}};
  app = AppDelegate::make(h, s);
  app->pageLoaded();
  app->receive(message(R"({"act":"relayGo","sid":"s1"})"));
  app->receive(message(R"({"act":"relayGo","sid":""})"));
  settle();
  app.reset();  // finishes the chores queue
  ASSERT_GE(ran.size(), 2u);
  EXPECT_EQ(ran[0], "tick");
  EXPECT_EQ(ran[1], "go s1");
  EXPECT_EQ(std::count(ran.begin(), ran.end(), "go "), 0);
}
