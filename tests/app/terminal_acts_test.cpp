// Page messages that type into terminals, raise them or open new ones, run against the
// scripted terminal host with the real answering and sending code above it.

#include "app/app_test_support.h"
#include "base/caches.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/text.h"
#include "feed/state_feed.h"
#include "support/transcripts.h"
#include "terminals/picker.h"

namespace {

const std::string kTty = "/dev/pts/7";
// An agent at rest: its input box is empty.
const std::string kIdle =
    "● Done.\n" + std::string("────────\n") + "❯\u00a0\n" + "────────\n" + "  ? for shortcuts\n";

// The agent's input row holding a text it has not taken.
std::string holding(const std::string& text) {
  return "────────\n❯\u00a0" + text + "\n────────\n";
}

std::string screen(const std::string& name) {
  return *Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/" + name);
}

// The question id a card drawn from that screen carries.
std::string idOf(const std::string& name) {
  auto p = Terminals::parseScreen(screen(name), kTty);
  return p ? StateFeed::questionID(*p) : "";
}

// The agent takes whatever was typed: the prompt or the typed line leaves the screen.
void takesTyping(ScriptedHost& host) {
  host.onType([](ScriptedHost& h, const ScriptedHost::Call& c) { h.show(c.tty, kIdle); });
}

}  // namespace

TEST_F(AppTest, SendingToAClosedTerminalAlertsAndKeepsNothingPending) {
  chats["s"] = chat("s");
  make().conversation.setOpenSID("s");
  app->receive(message(R"({"act":"send","text":"hello"})"));
  settle();
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].title, "The terminal for this conversation is closed");
  EXPECT_EQ(dialogs.alerts[0].text,
            "You can read it, but there is nowhere to send to. "
            "To carry on you need to reopen it in a terminal.");
  EXPECT_TRUE(app->conversation.pending.empty());
  EXPECT_TRUE(typed().empty());
}

TEST_F(AppTest, SendingTypesIntoTheConversationsTerminalUntilTheAgentTakesIt) {
  chats["s"] = chat("s");
  terminals = {terminal("s", kTty)};
  host.show(kTty, kIdle);
  make().conversation.setOpenSID("s");
  app->receive(message(R"({"act":"send","text":"hello\nthere"})"));
  settle();
  // Two lines go as one message, pasted with the line break in it.
  EXPECT_EQ(typed(), std::vector<std::string>{kTty + ":paste hello\nthere"});
  ASSERT_EQ(app->conversation.pending.size(), 1u);
  EXPECT_TRUE(dialogs.alerts.empty());

  // The text stays in the input box: Return is pressed again, then the user is told.
  host.onType([](ScriptedHost& h, const ScriptedHost::Call& c) {
    if (!c.text.empty()) h.show(c.tty, holding(c.text));
  });
  app->receive(message(R"({"act":"quick","sid":"s","text":"again"})"));
  settle();
  EXPECT_EQ(typed(), (std::vector<std::string>{kTty + ":paste hello\nthere", kTty + ":again",
                                               kTty + ":", kTty + ":", kTty + ":"}));
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].title, "The message was not sent");
  EXPECT_EQ(dialogs.alerts[0].text, "The text was typed, but the agent did not take it");
  EXPECT_TRUE(app->conversation.pending.empty()) << "a failed text must not linger in the chat";
  // Typed, so it is not handed back to the composer.
  EXPECT_TRUE(page.named("unsent").empty());
}

TEST_F(AppTest, AMessageOverAPromptIsNeverTypedAndGoesBackToTheComposer) {
  chats["s"] = chat("s");
  terminals = {terminal("s", kTty)};
  // The agent waits on a permission prompt: the Return of "thanks" would pick "1. Yes".
  host.show(kTty, screen("perm-bash.txt"));
  make().pageLoaded();
  settle();
  app->conversation.setOpenSID("s");
  app->receive(message(R"({"act":"send","text":"thanks"})"));
  settle();
  EXPECT_TRUE(typed().empty());
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].title, "The message was not sent");
  EXPECT_EQ(dialogs.alerts[0].text, "The terminal is waiting on a question; answer it first");
  EXPECT_TRUE(app->conversation.pending.empty());
  auto back = page.named("unsent");
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].args, (std::vector<std::string>{"\"s\"", "\"thanks\""}));
}

TEST_F(AppTest, AnUnsentDraftInTheTerminalStopsTheMessageAndSaysWhy) {
  chats["s"] = chat("s");
  terminals = {terminal("s", kTty)};
  host.show(kTty, "────────\n❯\u00a0my own words\n────────\n");
  make().conversation.setOpenSID("s");
  app->receive(message(R"({"act":"send","text":"hello"})"));
  settle();
  EXPECT_TRUE(typed().empty());
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].title, "The message was not sent");
  EXPECT_EQ(dialogs.alerts[0].text, "The terminal has unsent text; send it or clear it first");
  EXPECT_TRUE(app->conversation.pending.empty());
}

TEST_F(AppTest, ABareCommandThatOpensAPickerRaisesItsTerminal) {
  terminals = {terminal("s", kTty)};
  host.show(kTty, kIdle);
  make().conversation.setOpenSID("s");
  app->receive(message(R"({"act":"send","text":"/model"})"));
  app->receive(message(R"({"act":"send","text":"/model opus"})"));
  settle();
  EXPECT_EQ(raised(), std::vector<std::string>{kTty});
}

TEST_F(AppTest, AnAnswerThatCannotBeTypedSaysWhyInTheAlert) {
  host.show(kTty, screen("ask-single.txt"));
  dialogs.answer = 0;  // "Open the terminal"
  make().receive(message(R"({"act":"answerAsk","tty":"/dev/pts/7","pick":"7","expect":")" +
                         idOf("ask-single.txt") + R"("})"));
  settle();
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].title, "The answer was not sent");
  EXPECT_EQ(dialogs.alerts[0].text,
            "A different question is open in the terminal now — not sent, so as not to answer it "
            "by mistake");
  EXPECT_EQ(dialogs.alerts[0].buttons, (std::vector<std::string>{"Open the terminal", "Close"}));
  EXPECT_TRUE(typed().empty());
  settle();
  EXPECT_EQ(raised(), std::vector<std::string>{kTty});

  ::setenv("VELMO_LANG", "he", 1);
  Caches::emptyAll();
  host.show(kTty, kIdle);
  dialogs.answer = 1;
  app->receive(message(R"({"act":"answerAsk","tty":"/dev/pts/7","pick":2,"expect":")" +
                       idOf("ask-single.txt") + R"("})"));
  settle();
  ASSERT_EQ(dialogs.alerts.size(), 2u);
  EXPECT_EQ(dialogs.alerts[1].title, "התשובה לא נשלחה");
  EXPECT_EQ(dialogs.alerts[1].text, "השאלה כבר לא פתוחה במסוף — אולי נענתה או בוטלה שם");
  EXPECT_EQ(dialogs.alerts[1].buttons, (std::vector<std::string>{"לחלון־המסוף", "סגירה"}));
  EXPECT_EQ(raised().size(), 1u) << "the second button only closes the alert";
}

TEST_F(AppTest, AnAnswerThatTakesShowsNoAlert) {
  host.show(kTty, screen("perm-bash.txt"));
  takesTyping(host);
  make().receive(message(R"({"act":"answerAsk","tty":"/dev/pts/7","pick":"4","expect":")" +
                         idOf("perm-bash.txt") + R"("})"));
  settle();
  EXPECT_TRUE(dialogs.alerts.empty());
  ASSERT_EQ(host.typed().size(), 1u);
  EXPECT_EQ(host.typed()[0].moves, 3);  // from "1. Yes" down to "4. No"

  // With a text the answer goes into the free-text row instead of the pick.
  host.show(kTty, screen("ask-single.txt"));
  app->receive(message(R"({"act":"answerAsk","tty":"/dev/pts/7","pick":"1","text":"Purple",)"
                       R"("expect":")" + idOf("ask-single.txt") + R"("})"));
  settle();
  EXPECT_TRUE(dialogs.alerts.empty());
  ASSERT_EQ(host.typed().size(), 2u);
  EXPECT_EQ(host.typed()[1].moves, 3);
  EXPECT_EQ(host.typed()[1].text, "Purple");
}

TEST_F(AppTest, AFreeAnswerReportsItsOutcomeToThePage) {
  host.show(kTty, screen("perm-bash.txt"));  // a permission prompt has no free-text row
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"answerFree","tty":"/dev/pts/7","text":"do \"it\"","expect":")" +
                       idOf("perm-bash.txt") + R"("})"));
  settle();
  auto done = page.named("freeDone");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].args,
            (std::vector<std::string>{
                "false", "\"This question has no free-text row — pick one of the options\""}));
  EXPECT_TRUE(dialogs.alerts.empty()) << "the page shows the reason beside its button";
  EXPECT_TRUE(typed().empty());

  host.show(kTty, screen("ask-single.txt"));
  takesTyping(host);
  app->receive(message(R"({"act":"answerFree","tty":"/dev/pts/7","text":"Purple","expect":")" +
                       idOf("ask-single.txt") + R"("})"));
  settle();
  done = page.named("freeDone");
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[1].args, (std::vector<std::string>{"true", "\"\""}));
}

TEST_F(AppTest, ACardThatCannotSayWhichQuestionItAnswersTypesNothing) {
  // Drawn while the screen could not be read: no question id. Whatever shows now would
  // take its keys, so it types nothing and offers the terminal.
  host.show(kTty, screen("perm-bash.txt"));
  takesTyping(host);
  dialogs.answer = 1;
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"answerAsk","tty":"/dev/pts/7","pick":"1"})"));
  app->receive(message(R"({"act":"answerFree","tty":"/dev/pts/7","text":"yes"})"));
  settle();
  EXPECT_TRUE(typed().empty());
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].title, "The answer was not sent");
  auto done = page.named("freeDone");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].args.at(0), "false");
}

TEST_F(AppTest, WakeAllTypesIntoWaitingTerminalsAndCountsWhatTook) {
  make().pageLoaded();
  settle();

  testing::internal::CaptureStderr();
  app->run("wakeAll");
  settle();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Velmo: No terminal is waiting for you\n");
  EXPECT_TRUE(typed().empty());

  units = {unit("a", "wait", "/dev/pts/1"), unit("b", "run", "/dev/pts/2"),
           unit("c", "wait", "/dev/pts/3"), unit("", "wait", "/dev/pts/4")};
  host.show("/dev/pts/1", kIdle);
  host.show("/dev/pts/3", screen("perm-bash.txt"));  // a prompt would take the word's Return
  testing::internal::CaptureStderr();
  app->receive(message(R"({"act":"wakeAll"})"));
  settle();
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(Text::contains(said, "Velmo: Sent to 1 of 2\n")) << said;
  EXPECT_TRUE(Text::contains(said, "not sent to /dev/pts/3 — The terminal is waiting on a question"))
      << said;
  EXPECT_EQ(typed(), std::vector<std::string>{"/dev/pts/1:continue"});
}

TEST_F(AppTest, NewTerminalOpensTheAgentOrSaysWhyNot) {
  make().receive(message(R"({"act":"newTerminal"})"));
  settle();
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, "open");
  EXPECT_EQ(calls[0].text, home->path());
  EXPECT_TRUE(dialogs.alerts.empty());

  host.setOpenWorks(false);
  app->receive(message(R"({"act":"newTerminal"})"));
  settle();
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].title, "The terminal did not open");
  EXPECT_FALSE(dialogs.alerts[0].text.empty());
}

TEST_F(AppTest, ResumeRaisesALiveSessionAndReopensAClosedOneInItsFolder) {
  const std::string sid = "0b5e6f3a-1c2d-4e5f-8a9b-0c1d2e3f4a5b";
  auto record = Records::user("hello", clock.now() - 60);
  record["cwd"] = home->path();
  writeTranscript(*home, sid, Records::lines({record}));
  make().receive(message(R"({"act":"resume","sid":")" + sid + R"("})"));
  settle();
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, "open");
  EXPECT_EQ(calls[0].text, home->path());
  ASSERT_GE(calls[0].launch.argv.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(calls[0].launch.argv.end() - 2, calls[0].launch.argv.end()),
            (std::vector<std::string>{"--resume", sid}));

  terminals = {terminal(sid, kTty)};
  app->receive(message(R"({"act":"resume","sid":")" + sid + R"("})"));
  settle();
  EXPECT_EQ(raised(), std::vector<std::string>{kTty});

  // Not a session id: it would reach the agent as one of its options.
  app->receive(message(R"({"act":"resume","sid":"--dangerously-skip-permissions"})"));
  settle();
  EXPECT_EQ(host.calls().size(), 2u);
}

TEST_F(AppTest, RaiseFindsTheTerminalOfTheOpenConversationOrTakesTheRowsOwn) {
  terminals = {terminal("s", kTty)};
  make().conversation.setOpenSID("s");
  app->receive(message(R"({"act":"raise"})"));
  app->receive(message(R"({"act":"raise","tty":"/dev/pts/2"})"));
  app->receive(message(R"({"act":"raiseTty","tty":"/dev/pts/3"})"));
  settle();
  EXPECT_EQ(raised(), (std::vector<std::string>{kTty, "/dev/pts/2", "/dev/pts/3"}));
}

// A card drawn for one question must not answer the one that replaced it on the same
// terminal, even when that one has the row picked (another permission prompt, say).
TEST_F(AppTest, AnAnswerFromACardOfAnEarlierQuestionIsNotTyped) {
  const auto idOf = [&](const std::string& name) {
    host.show(kTty, screen(name));
    Caches::emptyAll();
    auto scan = Terminals::pickers(true);
    auto p = std::find_if(scan.list.begin(), scan.list.end(),
                          [](const Terminals::Picker& x) { return x.tty == kTty; });
    return p == scan.list.end() ? std::string() : StateFeed::questionID(*p);
  };
  const std::string earlier = idOf("ask-single.txt");
  const std::string now = idOf("perm-bash.txt");
  ASSERT_FALSE(earlier.empty());
  ASSERT_NE(earlier, now);

  dialogs.answer = 1;
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"answerAsk","tty":"/dev/pts/7","pick":"1","expect":")" + earlier +
                       R"("})"));
  settle();
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].text,
            "A different question is open in the terminal now — not sent, so as not to answer it "
            "by mistake");
  app->receive(message(R"({"act":"answerFree","tty":"/dev/pts/7","text":"Purple","expect":")" +
                       earlier + R"("})"));
  settle();
  EXPECT_TRUE(typed().empty());

  // The card of the question on screen answers it.
  takesTyping(host);
  app->receive(
      message(R"({"act":"answerAsk","tty":"/dev/pts/7","pick":"1","expect":")" + now + R"("})"));
  settle();
  EXPECT_EQ(host.typed().size(), 1u);
  EXPECT_EQ(dialogs.alerts.size(), 1u);
}

// A card drawn while the screen could not be read names no question: nothing is typed, the
// alert offers the terminal, and the rack is read again so the card can be drawn anew.
TEST_F(AppTest, ACardWithoutAQuestionIdTypesNothingAlertsAndScansAgain) {
  terminals = {terminal("s", kTty)};
  host.show(kTty, screen("ask-single.txt"));
  make().pageLoaded();
  settle();
  int before = unitBuilds;
  app->receive(message(R"({"act":"answerAsk","tty":"/dev/pts/7","pick":"1"})"));
  settle();
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].title, "The answer was not sent");
  EXPECT_NE(dialogs.alerts[0].text.find("could not be read"), std::string::npos);
  EXPECT_TRUE(typed().empty());
  EXPECT_GT(unitBuilds, before);
}
