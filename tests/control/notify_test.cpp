#include "control/notify.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "base/caches.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/text.h"
#include "control/control.h"
#include "feed/state_feed.h"
#include "support/recording_notifier.h"
#include "support/terminal_rig.h"

namespace {

Terminal terminal(const std::string& tty, const std::string& slot, const std::string& sid) {
  Terminal t;
  t.tty = tty;
  t.slot = slot;
  t.sessionID = sid;
  return t;
}

Terminals::Picker ask(const std::string& tty, int count = 3) {
  static const char* const kLabels[] = {"Blue", "Green", "Orange", "Red", "Teal", "Grey", "Pink"};
  Terminals::Picker p;
  p.tty = tty;
  p.question = "Which colour should the login button be?";
  for (int i = 0; i < count; ++i) p.options.push_back({std::to_string(i + 1), kLabels[i % 7], ""});
  p.freeRow = count + 1;
  return p;
}

Terminals::Picker permission(const std::string& tty) {
  Terminals::Picker p;
  p.tty = tty;
  p.question = "Do you want to proceed?";
  p.options = {{"1", "Yes", ""}, {"2", "Yes, and don't ask again", ""}, {"3", "No", ""}};
  p.body = {"Bash command", "", "touch velmo-probe.txt", "ls -la", "more"};
  return p;
}

std::vector<std::string> keys(const Notifier::Request& r) {
  std::vector<std::string> out;
  for (const auto& a : r.actions) out.push_back(a.key);
  return out;
}

class NotifyTest : public ::testing::Test {
 protected:
  struct Answered {
    std::string tty, expect, option, text, via;
    Control::Authorization authorization;
  };

  ScopedHome home;
  FakeClock clock;
  std::shared_ptr<RecordingNotifier> server = std::make_shared<RecordingNotifier>();
  std::vector<Terminal> terms = {terminal("/dev/pts/3", "003", "sess-3")};
  std::set<std::string> typing;
  std::vector<Answered> answers;
  nlohmann::json reply = {{"ok", true}, {"result", "answered"}};
  std::vector<std::string> opened;

  bool owning = true;

  std::shared_ptr<Notify> make() {
    Notify::Hooks h;
    h.owning = [this] { return owning; };
    h.terminals = [this] { return terms; };
    h.answering = [this](const std::string& tty) { return typing.count(tty) > 0; };
    h.answer = [this](const Terminal& term, const std::string& expect, const std::string& option,
                      const std::string& text, const std::string& via,
                      const Control::Authorize& authorize) {
      answers.push_back({term.tty, expect, option, text, via,
                         authorize(Terminals::Picker{}, expect, "routine", option)});
      return reply;
    };
    h.background = [](Job job) { job(); };
    h.main = [](Job job) { job(); };
    auto n = Notify::make(server, h);
    n->onOpen([this](const std::string& sid) { opened.push_back(sid); });
    return n;
  }
  std::string log() const { return Files::read(Notify::logPath()).value_or(""); }
};

TEST_F(NotifyTest, PostsOnceAfterTheMinimumWaitSilentlyThenRemindsOnceWithSound) {
  Settings::set("notifyMinWait", 30);
  auto notify = make();
  auto p = ask("/dev/pts/3");
  notify->tick(terms, {p});
  clock.advance(29);
  notify->tick(terms, {p});
  EXPECT_TRUE(server->posts.empty());

  clock.advance(1);
  notify->tick(terms, {p});
  ASSERT_EQ(server->posts.size(), 1u);
  const auto& first = server->posts[0].request;
  EXPECT_FALSE(first.sound);
  EXPECT_EQ(first.summary, "terminal 003 — asks you");
  EXPECT_EQ(first.body, p.question);
  EXPECT_TRUE(first.persistent);

  clock.advance(599);
  notify->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 1u);
  clock.advance(1);
  notify->tick(terms, {p});
  ASSERT_EQ(server->posts.size(), 2u);
  const auto& again = server->posts[1].request;
  EXPECT_TRUE(again.sound);
  EXPECT_EQ(again.summary, "terminal 003 — asks you · still waiting");
  // The reminder replaces the first notification rather than stacking beside it.
  EXPECT_EQ(server->closes, (std::vector<uint32_t>{server->posts[0].id}));

  clock.advance(3600);
  notify->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 2u);
  std::string trace = log();
  EXPECT_NE(trace.find("post " + StateFeed::questionID(p) + " kind=ask again=false actions=5 ok"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("again=true"), std::string::npos);
}

TEST_F(NotifyTest, ActionsAreFiveOptionsThenReplyWhereTheServerTakesTextThenOpen) {
  auto notify = make();
  auto seven = ask("/dev/pts/3", 7);
  seven.options[0].label = std::string(70, 'x');
  notify->tick(terms, {seven});
  ASSERT_EQ(server->posts.size(), 1u);
  const auto& r = server->posts[0].request;
  EXPECT_EQ(keys(r), (std::vector<std::string>{"opt.1", "opt.2", "opt.3", "opt.4", "opt.5", "reply",
                                               "open", "default"}));
  EXPECT_EQ(r.actions[0].label, std::string(60, 'x'));
  EXPECT_EQ(r.actions[1].label, "Green");
  EXPECT_TRUE(r.actions[5].textInput);
  EXPECT_EQ(r.actions[5].label, "Reply");
  EXPECT_EQ(r.actions[5].sendLabel, "Send");
  EXPECT_EQ(r.actions[6].label, "Open in Velmo");

  // No reply field for a permission prompt, a multiple choice, an ask without a free-text
  // row, or a server without the inline-reply extension.
  terms.push_back(terminal("/dev/pts/4", "004", "s4"));
  terms.push_back(terminal("/dev/pts/5", "005", "s5"));
  terms.push_back(terminal("/dev/pts/6", "006", "s6"));
  terms.push_back(terminal("/dev/pts/7", "007", "s7"));
  auto multi = ask("/dev/pts/5");
  multi.multi = true;
  auto closed = ask("/dev/pts/6");
  closed.freeRow = 0;
  notify->tick(terms, {seven, permission("/dev/pts/4"), multi, closed});
  server->setCapabilities({"actions", "body"});
  notify->tick(terms, {seven, permission("/dev/pts/4"), multi, closed, ask("/dev/pts/7")});
  ASSERT_EQ(server->posts.size(), 5u);
  for (size_t i = 1; i < 5; ++i) EXPECT_EQ(keys(server->posts[i].request).back(), "default") << i;
  for (size_t i = 1; i < 5; ++i)
    for (const auto& a : server->posts[i].request.actions) EXPECT_NE(a.key, "reply") << i;
  EXPECT_EQ(server->posts[1].request.summary, "terminal 004 — asks for permission");
  EXPECT_EQ(server->posts[1].request.body,
            "Bash command\ntouch velmo-probe.txt\nls -la\nmore\nDo you want to proceed?");
}

// What a click on "Yes" approves is in the notification whole: every line of the body, each
// line entire, before the question; only secrets are masked.
TEST_F(NotifyTest, APermissionOrPlanBodyIsPostedWhole) {
  auto notify = make();
  auto edit = permission("/dev/pts/3");
  edit.question = "Do you want to make this edit to velmo-edit.txt?";
  edit.body = {"Edit file", "velmo-edit.txt"};
  for (int i = 1; i <= 30; ++i) edit.body.push_back(std::to_string(i) + " +line " + std::to_string(i));
  const std::string command = "printf '%s\\n' " + std::string(600, 'w') + " > out.txt";
  edit.body.push_back(command);
  edit.body.push_back("curl -H 'Authorization: Bearer abcdefgh12345678' http://127.0.0.1:9/");
  notify->tick(terms, {edit});
  ASSERT_EQ(server->posts.size(), 1u);
  auto lines = Text::split(server->posts[0].request.body, '\n', false);
  ASSERT_EQ(lines.size(), edit.body.size() + 1) << server->posts[0].request.body;
  EXPECT_EQ(lines[1], "velmo-edit.txt");
  EXPECT_EQ(lines[31], "30 +line 30");
  EXPECT_EQ(lines[32], command);
  EXPECT_EQ(lines[33], "curl -H 'Authorization: Bearer [redacted]' http://127.0.0.1:9/");
  EXPECT_EQ(lines.back(), edit.question);

  // A plan approval: the plan's lines, all of them.
  terms.push_back(terminal("/dev/pts/4", "004", "s4"));
  Terminals::Picker plan;
  plan.tty = "/dev/pts/4";
  plan.question = "Ready to code?";
  plan.options = {{"1", "Yes, and use auto mode", ""}, {"2", "Yes, manually approve edits", ""}};
  plan.body = {"Here is Claude's plan:", "Add a dark theme"};
  for (int i = 1; i <= 12; ++i) plan.body.push_back(std::to_string(i) + ". Step " + std::to_string(i));
  plan.body.push_back("Would you like to proceed?");
  notify->tick(terms, {edit, plan});
  ASSERT_EQ(server->posts.size(), 2u);
  EXPECT_EQ(server->posts[1].request.body,
            Text::join(plan.body, "\n") + "\nReady to code?");
}

TEST_F(NotifyTest, APromptGoneFourSecondsIsRetractedAndComesBackAsNew) {
  Settings::set("notifyMinWait", 30);
  auto notify = make();
  auto p = ask("/dev/pts/3");
  notify->tick(terms, {p});
  clock.advance(30);
  notify->tick(terms, {p});
  ASSERT_EQ(server->posts.size(), 1u);

  // A flicker of three seconds keeps it.
  notify->tick(terms, {});
  clock.advance(3);
  notify->tick(terms, {});
  clock.advance(0.5);
  notify->tick(terms, {p});
  EXPECT_TRUE(server->closes.empty());

  notify->tick(terms, {});
  clock.advance(4);
  notify->tick(terms, {});
  EXPECT_EQ(server->closes, (std::vector<uint32_t>{server->posts[0].id}));
  EXPECT_TRUE(notify->seen().empty());
  EXPECT_NE(log().find("retract " + StateFeed::questionID(p) + " (left the screen)"),
            std::string::npos);

  // Back again: a new question with a new wait.
  notify->tick(terms, {p});
  clock.advance(29);
  notify->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 1u);
  clock.advance(1);
  notify->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 2u);
}

TEST_F(NotifyTest, WindowlessTerminalsAreNeverNotifiedAndLoseTheirNotification) {
  auto notify = make();
  auto p = ask("/dev/pts/3");
  notify->tick(terms, {p});
  ASSERT_EQ(server->posts.size(), 1u);
  terms[0].windowless = true;
  notify->tick(terms, {p});
  clock.advance(4);
  notify->tick(terms, {p});
  EXPECT_EQ(server->closes, (std::vector<uint32_t>{server->posts[0].id}));
  clock.advance(100);
  notify->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 1u);
  // Prompts of terminals that are not listed count as gone too.
  notify->tick({}, {ask("/dev/pts/9")});
  EXPECT_EQ(server->posts.size(), 1u);
}

TEST_F(NotifyTest, NothingIsPostedWhileVelmoTypesIntoThatTerminal) {
  auto notify = make();
  typing.insert("/dev/pts/3");
  auto p = ask("/dev/pts/3");
  notify->tick(terms, {p});
  clock.advance(60);
  notify->tick(terms, {p});
  EXPECT_TRUE(server->posts.empty());
  typing.clear();
  notify->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 1u);
}

TEST_F(NotifyTest, TurningNotificationsOffRetractsEverything) {
  auto notify = make();
  terms.push_back(terminal("/dev/pts/4", "004", "s4"));
  notify->tick(terms, {ask("/dev/pts/3"), permission("/dev/pts/4")});
  ASSERT_EQ(server->posts.size(), 2u);
  Settings::set("notifyOn", false);
  notify->tick(terms, {ask("/dev/pts/3"), permission("/dev/pts/4")});
  EXPECT_EQ(server->closes.size(), 2u);
  EXPECT_TRUE(notify->seen().empty());
  EXPECT_EQ(server->posts.size(), 2u);
}

TEST_F(NotifyTest, ARelaunchAdoptsWhatIsOnShowInsteadOfPostingAgain) {
  auto p = ask("/dev/pts/3");
  std::string qid = StateFeed::questionID(p);
  {
    auto notify = make();
    notify->tick(terms, {p});
    ASSERT_EQ(server->posts.size(), 1u);
  }
  struct stat st {};
  ASSERT_EQ(::stat(Notify::storePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(Paths::stateDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  clock.advance(120);
  auto again = make();
  again->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 1u);
  auto seen = again->seen();
  ASSERT_EQ(seen.count(qid), 1u);
  EXPECT_EQ(seen[qid].serverID, server->posts[0].id);
  EXPECT_FALSE(seen[qid].reposted);
  EXPECT_NE(log().find("adopt " + qid), std::string::npos);

  // Its reminder still comes ten minutes after the first post, and an action on the old
  // notification still answers.
  server->invoke(server->posts[0].id, "opt.1");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].option, "#1");
  clock.advance(480);
  again->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 2u);
  EXPECT_TRUE(server->posts[1].request.sound);
}

TEST_F(NotifyTest, AdoptionNeverRemindsTwiceNorTrustsAnotherServer) {
  auto p = ask("/dev/pts/3");
  {
    auto notify = make();
    notify->tick(terms, {p});
    clock.advance(600);
    notify->tick(terms, {p});
    ASSERT_EQ(server->posts.size(), 2u);
  }
  // Reminded already: never a third time, even though the reminder is recent.
  clock.advance(60);
  {
    auto notify = make();
    clock.advance(1200);
    notify->tick(terms, {p});
    EXPECT_EQ(server->posts.size(), 2u);
  }
  // The server restarted: its ids mean nothing now, so nothing is closed and it posts anew.
  server->setCapabilities({"actions"}, ":1.99");
  auto fresh = make();
  fresh->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 3u);
  EXPECT_TRUE(server->closes.size() == 1u);  // the first post, replaced by its reminder
}

TEST_F(NotifyTest, AnOldNotificationFromAnEarlierRunGetsNoReminder) {
  auto p = ask("/dev/pts/3");
  { make()->tick(terms, {p}); }
  clock.advance(700);
  auto notify = make();
  notify->tick(terms, {p});
  clock.advance(1000);
  notify->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 1u);
}

TEST_F(NotifyTest, AMalformedStoreIsSkipped) {
  home.write(".claude/velmo-state/notifications.json", "{\"posted\": [1, 2");
  auto notify = make();
  notify->tick(terms, {ask("/dev/pts/3")});
  EXPECT_EQ(server->posts.size(), 1u);

  // Records of the wrong shape are skipped one by one; the good one is adopted.
  std::string good = StateFeed::questionID(ask("/dev/pts/4"));
  home.write(".claude/velmo-state/notifications.json",
             nlohmann::json{{"posted",
                             {{"a", {{"id", "7"}, {"server", ":1.7"}, {"time", 5}}},
                              {"b", {{"id", -3}, {"server", ":1.7"}}},
                              {"c", {{"id", 1e12}, {"server", ":1.7"}}},
                              {"d", "x"},
                              {good,
                               {{"id", 9},
                                {"server", ":1.7"},
                                {"time", "2027-01-15T08:00:00Z"},
                                {"reminded", "yes"},
                                {"tty", 4}}}}}}
                 .dump());
  auto again = make();
  again->setUp();
  auto seen = again->seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[good].serverID, 9u);
  EXPECT_EQ(seen[good].tty, "");
  auto store = nlohmann::json::parse(Files::read(Notify::storePath()).value_or(""), nullptr, false);
  ASSERT_TRUE(store.is_object());
  EXPECT_EQ(store["posted"].size(), 1u);
}

TEST_F(NotifyTest, OptionActionsAnswerThroughTheGateAsTheOwnersClick) {
  auto notify = make();
  auto p = ask("/dev/pts/3");
  notify->tick(terms, {p});
  uint32_t id = server->posts[0].id;
  server->invoke(id, "opt.2");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].tty, "/dev/pts/3");
  EXPECT_EQ(answers[0].expect, StateFeed::questionID(p));
  EXPECT_EQ(answers[0].option, "#2");
  EXPECT_EQ(answers[0].text, "");
  EXPECT_EQ(answers[0].via, "notification");
  EXPECT_TRUE(answers[0].authorization.allowed);
  EXPECT_EQ(answers[0].authorization.who, "orlen");
  EXPECT_EQ(answers[0].authorization.note, "Orlen's click on the notification");

  server->reply(id, "Purple, please");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1].option, "");
  EXPECT_EQ(answers[1].text, "Purple, please");

  server->invoke(id, "open");
  server->invoke(id, "default");
  EXPECT_EQ(opened, (std::vector<std::string>{"sess-3", "sess-3"}));

  // Not ours, or unknown actions: nothing happens.
  server->invoke(id + 100, "opt.1");
  server->invoke(id, "something");
  EXPECT_EQ(answers.size(), 2u);
  EXPECT_EQ(server->posts.size(), 1u);
}

TEST_F(NotifyTest, AnAnswerThatDoesNotGoThroughSaysWhyInANotification) {
  auto notify = make();
  notify->tick(terms, {ask("/dev/pts/3")});
  uint32_t id = server->posts[0].id;
  reply = {{"ok", false},
           {"result", "not sent"},
           {"error", "not sent: the question on screen changed (id 0123456789abcdef)"}};
  server->invoke(id, "opt.1");
  ASSERT_EQ(server->posts.size(), 2u);
  EXPECT_EQ(server->posts[1].request.summary, "Velmo");
  EXPECT_EQ(server->posts[1].request.body,
            "Not sent — not sent: the question on screen changed (id 0123456789abcdef)");
  EXPECT_TRUE(server->posts[1].request.actions.empty());

  reply = {{"ok", false}, {"result", "unverified"}};
  server->invoke(id, "opt.1");
  EXPECT_EQ(server->posts.back().request.body, "Not sent — unverified");

  terms.clear();
  server->invoke(id, "opt.1");
  EXPECT_EQ(server->posts.back().request.body, "Not sent: the terminal is gone");
  EXPECT_EQ(answers.size(), 2u);
}

TEST_F(NotifyTest, ADismissedNotificationIsNotClosedLaterNorAdopted) {
  auto notify = make();
  auto p = ask("/dev/pts/3");
  notify->tick(terms, {p});
  server->dismiss(server->posts[0].id);
  auto store = nlohmann::json::parse(Files::read(Notify::storePath()).value_or(""), nullptr, false);
  EXPECT_TRUE(store["posted"].empty());
  clock.advance(60);
  notify->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 1u);  // no new post before the reminder
  notify->tick(terms, {});
  clock.advance(5);
  notify->tick(terms, {});
  EXPECT_TRUE(server->closes.empty());
}

TEST_F(NotifyTest, WithoutAServerVelmoKeepsWorkingAndTracesWhy) {
  server->goAway();
  auto notify = make();
  auto p = ask("/dev/pts/3");
  notify->tick(terms, {p});
  EXPECT_EQ(Notify::authorization(), "unavailable");
  notify->tick(terms, {p});
  clock.advance(700);
  notify->tick(terms, {p});
  notify->fyi("hello");
  std::string trace = log();
  EXPECT_NE(trace.find("notifications granted=false status=unavailable why=The name "
                       "org.freedesktop.Notifications was not provided"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("again=false actions=4 error=The name"), std::string::npos) << trace;
  EXPECT_NE(trace.find("fyi error="), std::string::npos);
  EXPECT_FALSE(Files::exists(Notify::storePath()));

  // A server that comes up later is used for the next question.
  server->setCapabilities({"actions"});
  terms.push_back(terminal("/dev/pts/4", "004", "s4"));
  notify->tick(terms, {p, permission("/dev/pts/4")});
  EXPECT_EQ(server->posts.size(), 1u);
  EXPECT_EQ(Notify::authorization(), "authorized");
}

}  // namespace

namespace {

std::vector<nlohmann::json> answersLog() {
  std::vector<nlohmann::json> out;
  for (const auto& line : Text::split(Files::read(Control::logFile()).value_or(""), '\n'))
    out.push_back(nlohmann::json::parse(line, nullptr, false));
  return out;
}

// The whole road from a click to keystrokes, through the real gate and screen reading.
class NotifyThroughTheGate : public ::testing::Test {
 protected:
  NotifyThroughTheGate() {
    Caches::emptyAll();
    rig.agent(300, 3, "sess-3");
    Notify::Hooks hooks = Notify::Hooks::live();
    hooks.background = [](Job job) { job(); };
    notify = Notify::make(server, hooks);
  }
  ~NotifyThroughTheGate() override { Caches::emptyAll(); }

  void look() {
    Caches::emptyAll();
    notify->tick(Terminals::open(), Terminals::pickers(true).list);
  }

  TerminalRig rig;
  std::shared_ptr<RecordingNotifier> server = std::make_shared<RecordingNotifier>();
  std::shared_ptr<Notify> notify;
};

}  // namespace

TEST_F(NotifyThroughTheGate, AnOptionClickTypesThatOptionAsTheOwnersAnswer) {
  const std::string tty = "/dev/pts/3";
  rig.host.show(tty, Screens::ask("Which colour?", {"Blue", "Green", "Orange"}));
  rig.host.onType(
      [tty](ScriptedHost& h, const ScriptedHost::Call&) { h.show(tty, Screens::idle()); });
  look();
  ASSERT_EQ(server->posts.size(), 1u);
  server->invoke(server->posts[0].id, "opt.2");

  ASSERT_FALSE(rig.host.typed().empty());
  EXPECT_EQ(rig.host.typed()[0].moves, 1);
  EXPECT_EQ(server->posts.size(), 1u);  // no word of a failure
  auto lines = answersLog();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["via"], "notification");
  EXPECT_EQ(lines[0]["who"], "orlen");
  EXPECT_EQ(lines[0]["note"], "Orlen's click on the notification");
  EXPECT_EQ(lines[0]["option"], "Green");
  EXPECT_EQ(lines[0]["result"], "answered");
}

TEST_F(NotifyThroughTheGate, AClickOnAQuestionThatChangedTypesNothingAndSaysWhy) {
  const std::string tty = "/dev/pts/3";
  rig.host.show(tty, Screens::ask("Which colour?", {"Blue", "Green", "Orange"}));
  look();
  ASSERT_EQ(server->posts.size(), 1u);
  rig.host.show(tty, Screens::ask("Which size?", {"Small", "Large"}));
  auto now = Terminals::parseScreen(Screens::ask("Which size?", {"Small", "Large"}), tty);
  ASSERT_TRUE(now);

  server->invoke(server->posts[0].id, "opt.1");
  EXPECT_TRUE(rig.host.typed().empty());
  ASSERT_EQ(server->posts.size(), 2u);
  EXPECT_EQ(server->posts[1].request.body,
            "Not sent — not sent: the question on screen changed (id " +
                StateFeed::questionID(*now) + ")");
}

TEST_F(NotifyTest, AVelmoThatOnlyWatchesPostsNothingUntilItTakesOver) {
  Settings::set("notifyMinWait", 0);
  owning = false;
  auto notify = make();
  auto p = ask("/dev/pts/3");
  notify->setUp();
  notify->tick(terms, {p});
  notify->fyi("hello");
  clock.advance(700);
  notify->tick(terms, {p});
  EXPECT_TRUE(server->posts.empty());

  // The one that notified quit: this one takes over and posts what still waits, once.
  owning = true;
  notify->tick(terms, {p});
  notify->tick(terms, {p});
  EXPECT_EQ(server->posts.size(), 1u);
}

// The notifier calls back on its own thread, and its end waits for that thread: were the
// last owner to let go inside an event, the notifier would end there and wait for itself.
TEST_F(NotifyTest, TheLastOwnerLettingGoDuringAnEventIsReleasedOffTheEventsThread) {
  std::vector<Job> later;
  auto notify = make();
  auto p = ask("/dev/pts/3");
  notify->tick(terms, {p});
  uint32_t id = server->posts.at(0).id;
  // A fresh Notify on the same server whose background work waits, as a pool's would.
  Notify::Hooks h;
  h.owning = [] { return true; };
  h.terminals = [this] { return terms; };
  h.answering = [](const std::string&) { return false; };
  h.answer = [this](const Terminal&, const std::string&, const std::string&, const std::string&,
                    const std::string&, const Control::Authorize&) { return reply; };
  h.background = [&later](Job job) { later.push_back(std::move(job)); };
  h.main = [](const Job& job) { job(); };
  notify.reset();
  std::shared_ptr<Notify> owner = Notify::make(server, h);
  owner->tick(terms, {p});  // adopts the notification on show
  std::weak_ptr<Notify> watch = owner;
  // The click opens Velmo, and the owner lets go meanwhile.
  owner->onOpen([&owner](const std::string&) { owner.reset(); });
  server->invoke(id, "default");
  EXPECT_FALSE(owner);
  EXPECT_FALSE(watch.expired()) << "ended inside the event, on the notifier's thread";
  for (auto& job : later) job();
  later.clear();
  EXPECT_TRUE(watch.expired());
}
