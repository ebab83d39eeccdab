#include "relay/relay.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/caches.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/text.h"
#include "page/panel.h"
#include "support/fake_clock.h"
#include "terminals/input_row.h"
#include "support/home.h"
#include "support/scripted_host.h"
#include "support/terminal_rig.h"
#include "support/transcripts.h"

namespace {

const std::string kSid = "aaaaaaaa-1111-4111-8111-111111111111";
const std::string kNewSid = "bbbbbbbb-2222-4222-8222-222222222222";
const std::string kTty = "/dev/pts/4";
constexpr int kPid = 4400;

// A registry record as the agent writes it, with the time its status last changed.
void registry(const ScopedHome& home, const std::string& sid, const std::string& status,
              Clock::Time since) {
  nlohmann::json doc = {{"pid", kPid},
                        {"sessionId", sid},
                        {"status", status},
                        {"statusUpdatedAt", static_cast<int64_t>(since * 1000)},
                        {"name", ""}};
  home.write(".claude/sessions/" + std::to_string(kPid) + ".json", doc.dump());
}

std::string typedText(const ScriptedHost& host) {
  std::string all;
  for (const auto& c : host.typed())
    if (!c.text.empty()) all += c.text + "\n";
  return all;
}

int typedCount(const ScriptedHost& host, const std::string& needle) {
  int n = 0;
  for (const auto& c : host.typed())
    if (Text::contains(c.text, needle)) ++n;
  return n;
}

std::string hygieneLog() {
  return Files::read(Paths::agent("velmo-hygiene.log")).value_or("");
}

}  // namespace

class RelayTest : public ::testing::Test {
 protected:
  RelayTest() {
    ::setenv("VELMO_LANG", "en", 1);
    Settings::reload();
    Settings::set("relayWindow", 200000);
    Relay::forget();
  }
  ~RelayTest() override {
    Relay::setSweep(nullptr);
    Settings::reload();
    ::unsetenv("VELMO_LANG");
  }

  /// One terminal whose conversation has `tokens` in its context, idle since a minute ago.
  void agentWith(int64_t tokens, const std::string& sid = kSid) {
    using namespace Records;
    Clock::Time t0 = rig.clock.now() - 600;
    transcript = writeTranscript(
        rig.home, sid,
        lines({user("Build the login page", t0),
               assistant(Json::array({text("Done.")}), t0 + 5, "claude-opus-4-5", tokens)}));
    registry(rig.home, sid, "idle", rig.clock.now() - 60);
    rig.host.show(kTty, Screens::idle());
    term.tty = kTty;
    term.slot = "004";
    term.pid = kPid;
    term.sessionID = sid;
    term.waiting = false;
    Caches::emptyAll();
  }

  /// A tick as the chores run it, after the ten seconds between full passes.
  void tick() {
    rig.clock.advance(11);
    Relay::tick({term});
  }

  Relay::Record record(const std::string& sid = kSid) {
    auto store = Relay::all();
    auto it = store.find(sid);
    return it == store.end() ? Relay::Record{} : it->second;
  }

  void primed() { Settings::set("relayPrimed", true); }

  /// A hand-off file of `bytes`, last changed `age` seconds ago.
  std::string handoff(const std::string& path, size_t bytes, double age) {
    Files::makeDirectories(path.substr(0, path.rfind('/')));
    Files::writeAtomic(path, std::string(bytes, 'x'));
    setModified(path, rig.clock.now() - age);
    return path;
  }

  /// A record already in the given stage with a settled hand-off file.
  void storedReady(const std::string& stage = "ready") {
    Relay::Record r;
    r.stage = stage;
    r.file = handoff(Paths::documents() + "/handoffs/h-" + kSid.substr(0, 8) + ".md", 400, 100);
    r.name = "Login page";
    r.at = rig.clock.now() - 100;
    r.pct = 91;
    Relay::save({{kSid, r}});
    // The transcript stopped when the hand-off was written.
    setModified(transcript, rig.clock.now() - 100);
  }

  /// `/clear` gives the process a new session id, as the agent does.
  void clearGivesNewSession() {
    rig.host.onType([this](ScriptedHost&, const ScriptedHost::Call& c) {
      if (c.text == "/clear") registry(rig.home, kNewSid, "idle", rig.clock.now());
    });
  }

  TerminalRig rig;
  Terminal term;
  std::string transcript;
};

// ---- levels ----

TEST_F(RelayTest, LevelsFollowTheWindowAndTheThreshold) {
  Settings::set("relayAskPct", 80);
  EXPECT_EQ(Relay::level(160000), "ask");
  EXPECT_EQ(Relay::level(150000), "warn");
  EXPECT_EQ(Relay::level(149999), "");
  // A stored value that is not one of the menu's choices acts as 75.
  Settings::set("relayAskPct", 77);
  EXPECT_EQ(Relay::threshold(), 75);
  EXPECT_EQ(Relay::level(150000), "ask");
  EXPECT_EQ(Relay::level(140000), "warn");
  EXPECT_EQ(Relay::level(139999), "");
  // No window set: the model's own, a million for a model not named.
  Settings::set("relayWindow", 0);
  EXPECT_EQ(Relay::level(160000), "");
  EXPECT_EQ(Relay::level(750000), "ask");
  EXPECT_EQ(Relay::level(150000, "claude-opus-4-6"), "ask");
  EXPECT_EQ(Relay::level(150000, "claude-opus-4-6", "opus[1m]"), "");
  EXPECT_EQ(Relay::level(150000, "claude-opus-5-5"), "");
}

// ---- readiness and staleness ----

TEST_F(RelayTest, AHandOffIsReadyFrom301BytesAndTwentyQuietSeconds) {
  std::string dir = rig.home.path() + "/h";
  EXPECT_FALSE(Relay::ready(handoff(dir + "/short.md", 300, 3600)));
  EXPECT_FALSE(Relay::ready(handoff(dir + "/fresh.md", 301, 20)));
  EXPECT_TRUE(Relay::ready(handoff(dir + "/settled.md", 301, 21)));
  EXPECT_FALSE(Relay::ready(dir + "/missing.md"));
  EXPECT_FALSE(Relay::ready(""));
  // A folder by that name is no hand-off.
  Files::makeDirectories(dir + "/folder.md");
  setModified(dir + "/folder.md", rig.clock.now() - 100);
  EXPECT_FALSE(Relay::ready(dir + "/folder.md"));
}

TEST_F(RelayTest, AHandOffIsStaleWhenMissingOrWhenTheConversationWentOn) {
  agentWith(1000);
  std::string file = handoff(rig.home.path() + "/h/a.md", 400, 1000);
  EXPECT_EQ(Relay::staleHandoff(kSid, rig.home.path() + "/h/none.md"), "hand-off file missing");
  setModified(transcript, rig.clock.now() - 1000 + 300);
  EXPECT_EQ(Relay::staleHandoff(kSid, file), std::nullopt);
  setModified(transcript, rig.clock.now() - 1000 + 301);
  EXPECT_EQ(Relay::staleHandoff(kSid, file),
            "the conversation went on after the hand-off was written");
  // Without a transcript nothing says it went on.
  EXPECT_EQ(Relay::staleHandoff("cccccccc-0000-4000-8000-000000000000", file), std::nullopt);
}

// ---- the store ----

TEST_F(RelayTest, TheStoreKeepsEveryFieldAndLeavesAbsentOnesOut) {
  Relay::Record full{"continued", "/h/a.md", "/w", "Login", 1.8e9, kNewSid, std::nullopt, 91, true};
  Relay::Record bare{"baseline",   "",           "/w",         "",          1.8e9,
                     std::nullopt, std::nullopt, std::nullopt, std::nullopt};
  ASSERT_TRUE(Relay::save({{kSid, full}, {kNewSid, bare}}));
  std::string text = *Files::read(Paths::agent("velmo-relay.json"));
  EXPECT_EQ(text.find("\"prev\""), std::string::npos);
  EXPECT_NE(text.find("\"at\": \"2027-01-15T08:00:00.000Z\""), std::string::npos) << text;
  // Sorted keys: "at" before "auto" before "cwd".
  EXPECT_LT(text.find("\"at\""), text.find("\"auto\""));
  EXPECT_LT(text.find("\"auto\""), text.find("\"cwd\""));

  Relay::forget();
  auto back = Relay::all();
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[kSid].next, kNewSid);
  EXPECT_EQ(back[kSid].pct, 91);
  EXPECT_EQ(back[kSid].automatic, true);
  EXPECT_DOUBLE_EQ(back[kSid].at, 1.8e9);
  EXPECT_FALSE(back[kNewSid].automatic.has_value());
  EXPECT_FALSE(back[kNewSid].next.has_value());
}

TEST_F(RelayTest, AnUnreadableStoreIsEmptyAndAnotherWritersChangeIsSeen) {
  rig.home.write(".claude/velmo-relay.json", "{not json");
  EXPECT_TRUE(Relay::all().empty());
  rig.home.write(".claude/velmo-relay.json",
                 R"({"x": {"stage": "asked"}, "y": "nonsense", "z": {"file": "no stage"}})");
  setModified(Paths::agent("velmo-relay.json"), rig.clock.now() + 5);
  auto store = Relay::all();
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(store["x"].stage, "asked");
}

// ---- the tick: asking ----

TEST_F(RelayTest, TheFirstTickRecordsABaselineAndTypesNothing) {
  agentWith(190000);
  tick();
  EXPECT_EQ(record().stage, "baseline");
  EXPECT_TRUE(rig.host.typed().empty());
  EXPECT_EQ(Settings::value("relayPrimed"), nlohmann::json(true));
  // A baseline session is never asked later.
  tick();
  EXPECT_TRUE(rig.host.typed().empty());
}

TEST_F(RelayTest, ACalmConversationOverTheThresholdIsAskedOnce) {
  primed();
  agentWith(182000);
  tick();
  auto r = record();
  EXPECT_EQ(r.stage, "asked");
  EXPECT_EQ(r.pct, 91);
  EXPECT_TRUE(Text::startsWith(r.file, Paths::documents() + "/handoffs/"));
  EXPECT_TRUE(Text::endsWith(r.file, "-aaaaaaaa.md"));
  EXPECT_TRUE(Files::isDirectory(Paths::documents() + "/handoffs"));
  ASSERT_EQ(rig.host.typed().size(), 1u);
  const std::string typed = rig.host.typed()[0].text;
  EXPECT_TRUE(Text::startsWith(typed, "Velmo: this conversation's context window is 91% full."));
  // The marker the agent's file path follows, then the path and its dash.
  EXPECT_NE(typed.find("Write your hand-off now to " + r.file + " — the goal"), std::string::npos);
  tick();
  EXPECT_EQ(rig.host.typed().size(), 1u);
}

TEST_F(RelayTest, NothingIsAskedUnlessTheTerminalIsCalm) {
  primed();
  agentWith(190000);
  // Idle for only 45 seconds.
  registry(rig.home, kSid, "idle", rig.clock.now() + 11 - 45);
  tick();
  // Busy.
  registry(rig.home, kSid, "busy", rig.clock.now() - 600);
  tick();
  // Reported waiting, or a prompt on its screen.
  registry(rig.home, kSid, "idle", rig.clock.now() - 600);
  term.waiting = true;
  tick();
  term.waiting = false;
  rig.host.show(kTty, Screens::ask("Which colour?", {"Blue", "Green"}));
  tick();
  EXPECT_TRUE(rig.host.typed().empty());
  EXPECT_TRUE(Relay::all().empty());
  // Idle with a background shell counts as calm.
  rig.host.show(kTty, Screens::idle());
  registry(rig.home, kSid, "shell", rig.clock.now() - 600);
  tick();
  EXPECT_EQ(record().stage, "asked");
}

TEST_F(RelayTest, OnlyConversationsUnderTheChosenFolderAreAsked) {
  primed();
  agentWith(190000);
  Settings::set("relayOnlyCwd", "/somewhere/else");
  tick();
  EXPECT_TRUE(Relay::all().empty());
}

TEST_F(RelayTest, AFailedRequestLeavesNoRecordAndTheNextCalmTickAsksAgain) {
  primed();
  agentWith(190000);
  rig.host.setTypingWorks(false);
  tick();
  EXPECT_TRUE(Relay::all().empty());
  EXPECT_NE(hygieneLog().find("HAND-OFF request not typed /dev/pts/4 aaaaaaaa"), std::string::npos);
  tick();  // still failing: said once only
  size_t first = hygieneLog().find("HAND-OFF");
  EXPECT_EQ(hygieneLog().find("HAND-OFF", first + 1), std::string::npos);

  rig.host.setTypingWorks(true);
  tick();
  EXPECT_EQ(record().stage, "asked");
  EXPECT_NE(rig.host.typed().back().text.find(record().file), std::string::npos);
}

TEST_F(RelayTest, AnUnsentDraftIsNeverTypedInto) {
  primed();
  agentWith(190000);
  rig.host.show(kTty, Text::join({"● Done.", Screens::border(), "❯\u00a0half a thought",
                                  Screens::border(), "  ? for shortcuts"},
                                 "\n"));
  tick();
  EXPECT_TRUE(rig.host.typed().empty());
  EXPECT_TRUE(Relay::all().empty());
  EXPECT_NE(hygieneLog().find(Terminals::unsentRefusal()), std::string::npos);
}

TEST_F(RelayTest, APromptOnScreenHoldsTheRequestUntilACalmTick) {
  primed();
  agentWith(190000);
  // The Return of the request would answer the prompt: nothing is typed.
  rig.host.show(kTty, Screens::permission());
  tick();
  EXPECT_TRUE(rig.host.typed().empty());
  EXPECT_TRUE(Relay::all().empty());
  // Once the prompt has gone, the next tick asks.
  rig.host.show(kTty, Screens::idle());
  rig.clock.advance(11);
  tick();
  EXPECT_FALSE(rig.host.typed().empty());
}

TEST_F(RelayTest, TicksComeAtMostEveryTenSecondsAndNotAtAllWhenOff) {
  primed();
  agentWith(190000);
  Settings::set("relayOn", false);
  tick();
  EXPECT_TRUE(Relay::all().empty());
  Settings::set("relayOn", true);
  tick();
  ASSERT_EQ(record().stage, "asked");
  Relay::save({});  // as if never asked
  rig.clock.advance(9);
  Relay::tick({term});
  EXPECT_TRUE(Relay::all().empty());
  rig.clock.advance(1);
  Relay::tick({term});
  EXPECT_EQ(record().stage, "asked");
}

// ---- the tick: stages ----

TEST_F(RelayTest, AskedBecomesReadyOrFailedAndFailedBecomesReadyLate) {
  primed();
  agentWith(190000);
  tick();
  Relay::Record r = record();
  ASSERT_EQ(r.stage, "asked");
  handoff(r.file, 300, 100);  // too short to count
  tick();
  EXPECT_EQ(record().stage, "asked");
  rig.clock.advance(1200);
  tick();
  EXPECT_EQ(record().stage, "failed");
  handoff(r.file, 301, 0);
  tick();
  EXPECT_EQ(record().stage, "failed");  // still settling
  rig.clock.advance(15);
  tick();
  EXPECT_EQ(record().stage, "ready");
}

TEST_F(RelayTest, AReadyHandOffContinuesByItself) {
  agentWith(190000);
  storedReady();
  clearGivesNewSession();
  tick();

  auto typed = rig.host.typed();
  ASSERT_EQ(typed.size(), 3u) << typedText(rig.host);
  EXPECT_EQ(typed[0].text, "/clear");
  EXPECT_EQ(typed[1].text, "/rename Login page · cont.");
  EXPECT_EQ(typed[2].text, "Continue the work of conversation " + kSid +
                               ", which was handed over at 91% context. Read the hand-off first: " +
                               record().file +
                               " — then carry on with its open items. The old transcript, if a "
                               "detail is missing: " +
                               transcript);
  auto r = record();
  EXPECT_EQ(r.stage, "continued");
  EXPECT_EQ(r.next, kNewSid);
  EXPECT_EQ(r.automatic, true);
  std::string log = hygieneLog();
  EXPECT_NE(log.find("AUTO-CONTINUE /dev/pts/4 aaaaaaaa Login page — hand-off " + r.file),
            std::string::npos);
  EXPECT_NE(log.find("AUTO-CONTINUE done /dev/pts/4 → bbbbbbbb"), std::string::npos);
  EXPECT_EQ(Relay::today().reset, std::vector<std::string>{"Login page"});
  auto titles = rig.host.calls();
  bool titled = false;
  for (const auto& c : titles) titled |= c.kind == "title" && c.text == "Login page · cont.";
  EXPECT_TRUE(titled);
}

TEST_F(RelayTest, AFailedContinuationPromptIsTypedAgainWithoutASecondClear) {
  agentWith(190000);
  storedReady();
  clearGivesNewSession();
  // The prompt stays in the input box: the agent never took it.
  rig.host.onType([this](ScriptedHost& h, const ScriptedHost::Call& c) {
    if (c.text == "/clear") registry(rig.home, kNewSid, "idle", rig.clock.now());
    if (Text::startsWith(c.text, "Continue the work"))
      h.show(kTty,
             Text::join({"● Done.", Screens::border(), "❯ " + c.text, Screens::border()}, "\n"));
  });
  tick();
  auto r = record();
  EXPECT_EQ(r.stage, "go");
  EXPECT_EQ(r.next, kNewSid);
  EXPECT_NE(hygieneLog().find("CONTINUE prompt not typed /dev/pts/4 bbbbbbbb"), std::string::npos);
  EXPECT_EQ(hygieneLog().find("AUTO-CONTINUE done"), std::string::npos);

  // The terminal now runs the new conversation; once it is calm the prompt goes again.
  rig.host.onType(nullptr);
  rig.host.show(kTty, Screens::idle());
  term.sessionID = kNewSid;
  registry(rig.home, kNewSid, "idle", rig.clock.now() - 60);
  tick();
  EXPECT_EQ(typedCount(rig.host, "/clear"), 1);
  EXPECT_GE(typedCount(rig.host, "Continue the work of conversation " + kSid), 2);
  EXPECT_EQ(record().stage, "continued");
  EXPECT_NE(hygieneLog().find("AUTO-CONTINUE done /dev/pts/4 → bbbbbbbb"), std::string::npos);
}

TEST_F(RelayTest, APromptThatArrivedDespiteAFailedSendIsNotTypedTwice) {
  agentWith(190000);
  storedReady();
  Relay::Record r = record();
  r.stage = "go";
  r.next = kNewSid;
  Relay::save({{kSid, r}});
  writeTranscript(
      rig.home, kNewSid,
      Records::lines({Records::user("Continue the work … " + r.file, rig.clock.now())}));
  term.sessionID = kNewSid;
  tick();
  EXPECT_TRUE(rig.host.typed().empty());
  EXPECT_EQ(record().stage, "continued");
}

TEST_F(RelayTest, NoNewSessionIdSendsTheRecordBackToReady) {
  agentWith(190000);
  storedReady("go");
  tick();
  EXPECT_EQ(typedCount(rig.host, "/clear"), 1);
  EXPECT_EQ(record().stage, "ready");
  EXPECT_NEAR(rig.clock.totalSlept(), 25 * 0.6, 1.0);
  EXPECT_EQ(typedCount(rig.host, "Continue the work"), 0);
}

TEST_F(RelayTest, WithoutAutoContinueItStaysReadyUntilTheClick) {
  Settings::set("relayAutoContinue", false);
  agentWith(190000);
  storedReady();
  clearGivesNewSession();
  tick();
  EXPECT_EQ(record().stage, "ready");
  EXPECT_TRUE(rig.host.typed().empty());

  Relay::go(kSid);
  EXPECT_EQ(record().stage, "go");
  Relay::tick({term});  // at once: the click lets the next tick run early
  auto r = record();
  EXPECT_EQ(r.stage, "continued");
  EXPECT_FALSE(r.automatic.has_value());
  EXPECT_EQ(hygieneLog().find("AUTO-CONTINUE"), std::string::npos);
}

TEST_F(RelayTest, TheClickMovesOnlyAReadyHandOff) {
  agentWith(190000);
  storedReady("asked");
  Relay::go(kSid);
  EXPECT_EQ(record().stage, "asked");
  storedReady("failed");  // with a settled file: as good as ready
  Relay::go(kSid);
  EXPECT_EQ(record().stage, "go");
  Relay::go("unknown");
  EXPECT_EQ(Relay::all().size(), 1u);
}

TEST_F(RelayTest, AutoContinueWaitsForBackgroundAgentsAndBackgroundShells) {
  agentWith(190000);
  storedReady();
  std::string folder = transcript.substr(0, transcript.size() - 6) + "/subagents";
  rig.home.write(folder.substr(rig.home.path().size() + 1) + "/agent-a1b2.meta.json",
                 R"({"agentType":"Explore","requestShape":"background"})");
  rig.home.write(folder.substr(rig.home.path().size() + 1) + "/agent-c3d4.meta.json",
                 R"({"agentType":"Explore","requestShape":"foreground"})");
  // A meta file of another shape counts as no background agent instead of throwing.
  rig.home.write(folder.substr(rig.home.path().size() + 1) + "/agent-e5f6.meta.json",
                 R"({"agentType":"Explore","requestShape":7})");
  setModified(transcript, rig.clock.now() - 100);
  EXPECT_EQ(Relay::agents(kSid), 1);
  tick();
  EXPECT_TRUE(rig.host.typed().empty());

  appendTranscript(transcript, Records::lines({Records::user(
                                   "<task-notification><task-id>a1b2</task-id></task-notification>",
                                   rig.clock.now() - 100)}));
  setModified(transcript, rig.clock.now() - 100);
  EXPECT_EQ(Relay::agents(kSid), 0);
  // A background shell is calm enough to ask, not to continue.
  registry(rig.home, kSid, "shell", rig.clock.now() - 600);
  tick();
  EXPECT_TRUE(rig.host.typed().empty());
  EXPECT_EQ(record().stage, "ready");
}

TEST_F(RelayTest, AStaleHandOffIsSkippedOnceWithALogLine) {
  agentWith(190000);
  storedReady();
  setModified(transcript, rig.clock.now());  // went on 100 s later … and more
  setModified(record().file, rig.clock.now() - 400);
  tick();
  tick();
  EXPECT_TRUE(rig.host.typed().empty());
  auto r = record();
  EXPECT_EQ(r.stage, "ready");
  EXPECT_EQ(r.automatic, false);
  std::string log = hygieneLog();
  std::string line =
      "AUTO-CONTINUE skipped /dev/pts/4 aaaaaaaa — the conversation went on after the hand-off "
      "was written";
  EXPECT_NE(log.find(line), std::string::npos);
  EXPECT_EQ(log.find(line, log.find(line) + 1), std::string::npos);
}

TEST_F(RelayTest, TheMigrationKeepsSpawnedRecordsOnce) {
  agentWith(1000);
  Relay::Record r;
  r.stage = "spawned";
  Relay::save({{"old", r}});
  tick();
  EXPECT_EQ(record("old").stage, "kept");
  EXPECT_EQ(Settings::value("relayCloseMigrated"), nlohmann::json(true));
}

TEST_F(RelayTest, TheSweepRunsAfterEveryFullTick) {
  agentWith(1000);
  int sweeps = 0;
  Relay::setSweep([&](const std::vector<Terminal>& terms, const Relay::Store&) {
    ++sweeps;
    EXPECT_EQ(terms.size(), 1u);
  });
  tick();
  Relay::tick({term});  // too soon: no pass, no sweep
  EXPECT_EQ(sweeps, 1);
}

// ---- two Velmos on one home ----

TEST_F(RelayTest, ChangesMadeInAnotherVelmoDuringAPassSurviveIt) {
  agentWith(190000);
  storedReady();
  // A second conversation's hand-off is ready too; it has no terminal of its own here.
  Relay::Record other = record();
  other.file = handoff(Paths::documents() + "/handoffs/h-other.md", 400, 100);
  other.name = "Other work";
  ASSERT_TRUE(Relay::change("other", [&](std::optional<Relay::Record>& r) {
    r = other;
    return true;
  }));
  rig.host.onType([this](ScriptedHost&, const ScriptedHost::Call& c) {
    if (c.text != "/clear") return;
    registry(rig.home, kNewSid, "idle", rig.clock.now());
    // While this pass carries the first one on, the person clicks continue on the second
    // and names a third conversation, in another Velmo's page.
    Relay::go("other");
    auto names = nlohmann::json::parse(Files::read(Paths::agent("velmo-names.json")).value_or("{}"));
    names["third"] = "Named elsewhere";
    Files::writeAtomic(Paths::agent("velmo-names.json"), names.dump());
  });
  tick();
  EXPECT_EQ(record().stage, "continued");
  EXPECT_EQ(record("other").stage, "go") << "the pass wrote its older reading over the click";
  auto names = nlohmann::json::parse(*Files::read(Paths::agent("velmo-names.json")));
  EXPECT_EQ(names.value("third", ""), "Named elsewhere");
  EXPECT_EQ(names.value(kNewSid, ""), "Login page · cont.");
}

TEST_F(RelayTest, AChangeFromAnOlderReadingNeverUndoesANewerOne) {
  agentWith(190000);
  storedReady();
  Relay::Record read = record();
  Relay::go(kSid);  // meanwhile, elsewhere
  Relay::Record older = read;
  older.automatic = false;
  EXPECT_FALSE(Relay::replace(kSid, read, older));
  EXPECT_EQ(record().stage, "go");
  EXPECT_FALSE(record().automatic.has_value());
  // From the reading the disk holds, it goes in; other records are untouched.
  Relay::Record now = record();
  Relay::Record later = now;
  later.name = "Renamed";
  EXPECT_TRUE(Relay::replace(kSid, now, later));
  EXPECT_EQ(record().name, "Renamed");
  EXPECT_EQ(Relay::all().size(), 1u);
}

TEST_F(RelayTest, TheDayCountsEveryAdditionFromWhatIsStoredNow) {
  Relay::countReset("a");
  // Another Velmo closed a terminal and counted it.
  auto day = Settings::value("hygieneDay").value_or(nlohmann::json::object());
  day["closed"] = {"t1"};
  const std::string file = rig.home.path() + "/.config/velmo/settings.json";
  auto all = nlohmann::json::parse(*Files::read(file));
  all["hygieneDay"] = day;
  Files::writeAtomic(file, all.dump());
  Relay::countReset("b");
  Relay::countClosed("t2");
  Relay::Day today = Relay::today();
  EXPECT_EQ(today.reset, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(today.closed, (std::vector<std::string>{"t1", "t2"}));
}

// ---- the day ----

TEST_F(RelayTest, ANewDayLogsYesterdaysTallyAndStartsAfresh) {
  Settings::set("hygieneDay", {{"day", "2020-01-01"}, {"reset", {"a", "b"}}, {"closed", {}}});
  Relay::rollDay();
  EXPECT_NE(hygieneLog().find("DAILY 2020-01-01 Reset: 2 (a, b) · Closed: 0"), std::string::npos);
  Relay::Day day = Relay::today();
  EXPECT_NE(day.day, "2020-01-01");
  EXPECT_TRUE(day.reset.empty());
  // An empty old day is dropped without a line; an unreadable one is today's empty tally.
  Settings::set("hygieneDay", {{"day", "2020-01-02"}, {"reset", {}}, {"closed", {}}});
  Relay::rollDay();
  Settings::set("hygieneDay", "garbage");
  Relay::rollDay();
  EXPECT_EQ(hygieneLog().find("2020-01-02"), std::string::npos);
  ::setenv("VELMO_LANG", "he", 1);
  Caches::emptyAll();
  EXPECT_EQ(Relay::dayLine({"d", {}, {"x"}}), "אופסו: 0 · נסגרו: 1 (x)");
}

// ---- names and labels ----

TEST_F(RelayTest, TheContinuedNameGetsItsSuffixOnce) {
  EXPECT_EQ(Relay::continuedName("Login"), "Login · cont.");
  EXPECT_EQ(Relay::continuedName("Login · cont."), "Login · cont.");
  EXPECT_EQ(Relay::continuedName(""), "conversation · cont.");
}

TEST_F(RelayTest, LabelsFollowTheOwnStageThenThePredecessor) {
  Terminal open;
  open.sessionID = "s-open";
  open.slot = "007";
  auto rec = [](const std::string& stage, std::optional<std::string> next = std::nullopt,
                std::optional<bool> automatic = std::nullopt) {
    Relay::Record r;
    r.stage = stage;
    r.next = std::move(next);
    r.automatic = automatic;
    return r;
  };
  Relay::save({{"s-asked", rec("asked")},
               {"s-ready", rec("ready")},
               {"s-go", rec("go")},
               {"s-failed", rec("failed")},
               {"s-kept", rec("kept", "s-open")},
               {"s-auto", rec("continued", "s-next-auto", true)},
               {"s-manual", rec("continued", "s-next-manual")},
               {"s-open", rec("go", "s-pending")},
               {"s-base", rec("baseline")}});
  std::vector<Terminal> terms = {open};
  auto label = [&](const std::string& sid) { return Relay::label(sid, terms).value_or("—"); };
  EXPECT_EQ(label("s-asked"), "writing a hand-off");
  EXPECT_EQ(label("s-ready"), "hand-off ready");
  EXPECT_EQ(label("s-go"), "moving to a new conversation…");
  EXPECT_EQ(label("s-failed"), "hand-off not written");
  EXPECT_EQ(label("s-kept"), "continued in 007");
  EXPECT_EQ(label("s-auto"), "continued automatically");
  EXPECT_EQ(label("s-next-auto"), "continued automatically");
  EXPECT_EQ(label("s-next-manual"), "continues an earlier conversation");
  EXPECT_EQ(label("s-pending"), "continues 007");
  EXPECT_EQ(label("s-manual"), "—");
  EXPECT_EQ(label("s-base"), "—");
  EXPECT_EQ(label(""), "—");
  EXPECT_EQ(label("nobody"), "—");
  ::setenv("VELMO_LANG", "he", 1);
  Caches::emptyAll();
  EXPECT_EQ(label("s-ready"), "המסירה מוכנה");
  EXPECT_EQ(label("s-next-manual"), "המשך משיחה קודמת");
}

// ---- what the page gets ----

TEST_F(RelayTest, TheRackRowCarriesTheStageItsLabelAndTheLevel) {
  agentWith(190000);
  rig.agent(kPid, 4, kSid);
  registry(rig.home, kSid, "idle", rig.clock.now() - 60);
  Relay::Record r;
  r.stage = "ready";
  Relay::save({{kSid, r}});
  auto rows = Panel::units();
  ASSERT_EQ(rows.size(), 1u);
  nlohmann::json row = rows[0];
  EXPECT_EQ(row["relay"], "ready");
  EXPECT_EQ(row["chain"], "hand-off ready");
  EXPECT_EQ(row["ctxLevel"], "ask");
  EXPECT_EQ(row["relayShell"], false);
  EXPECT_EQ(row["relayAgents"], 0);

  registry(rig.home, kSid, "shell", rig.clock.now() - 60);
  Caches::emptyAll();
  EXPECT_EQ(nlohmann::json(Panel::units()[0])["relayShell"], true);
  // Without a record the relay has nothing to say, shell or not.
  Relay::save({});
  row = Panel::units()[0];
  EXPECT_EQ(row["relay"], "");
  EXPECT_EQ(row["chain"], "");
  EXPECT_EQ(row["relayShell"], false);
}
