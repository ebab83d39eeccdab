// The answer gate: every check between an outside answer and the keystrokes, in order,
// and the answers log it keeps.

#include <gtest/gtest.h>

#include "base/caches.h"
#include "base/files.h"
#include "control/control.h"
#include "feed/state_feed.h"
#include "support/terminal_rig.h"
#include "support/transcripts.h"

namespace {

const std::string kTty = "/dev/pts/3";

Control::Authorize allowAll(std::vector<std::string>* seen = nullptr) {
  return [seen](const Terminals::Picker&, const std::string& qid, const std::string& gate,
                const std::string& answer) {
    if (seen) seen->push_back(qid + " " + gate + " " + answer);
    return Control::Authorization{true, "tester", "fine"};
  };
}

Terminals::Picker options(const std::vector<std::string>& labels) {
  Terminals::Picker p;
  int n = 1;
  for (const auto& l : labels) p.options.push_back({std::to_string(n++), l, ""});
  return p;
}

std::string pick(const Terminals::Picker& p, const std::string& ref) {
  auto o = Control::pickOption(p, ref);
  return o ? o->n : "-";
}

std::vector<nlohmann::json> logLines() {
  std::vector<nlohmann::json> out;
  for (const auto& line : Text::split(Files::read(Control::logFile()).value_or(""), '\n'))
    out.push_back(nlohmann::json::parse(line, nullptr, false));
  return out;
}

class AnswerGate : public ::testing::Test {
 protected:
  AnswerGate() {
    Caches::emptyAll();
    rig.agent(300, 3, "s1");
  }
  ~AnswerGate() override { Caches::emptyAll(); }

  Terminal terminal() {
    auto t = Control::resolve("s1");
    EXPECT_TRUE(t);
    return t.value_or(Terminal{});
  }
  // The agent takes whatever is typed: the prompt goes.
  void promptGoesWhenTyped() {
    rig.host.onType(
        [](ScriptedHost& h, const ScriptedHost::Call&) { h.show(kTty, Screens::idle()); });
  }
  std::string shownID() {
    auto p =
        Terminals::parseScreen(Screens::ask("Which colour?", {"Blue", "Green", "Orange"}), kTty);
    return p ? StateFeed::questionID(*p) : "";
  }

  TerminalRig rig;
};

}  // namespace

TEST(PickOption, LooseReferences) {
  auto p = options({"Blue", "Green", "Grey", "2 cats", "orange"});
  EXPECT_EQ(pick(p, "Green"), "2");
  EXPECT_EQ(pick(p, "  green\t"), "2");
  EXPECT_EQ(pick(p, "ORANGE"), "5");
  EXPECT_EQ(pick(p, "#3"), "3");
  EXPECT_EQ(pick(p, "#9"), "-");
  EXPECT_EQ(pick(p, "b"), "1");  // one label begins with it
  EXPECT_EQ(pick(p, "G"), "-");  // two do
  EXPECT_EQ(pick(p, "Gre"), "-");
  EXPECT_EQ(pick(p, "2"), "4");  // a bare number is a label's start, not an option number
  EXPECT_EQ(pick(p, ""), "-");
}

TEST_F(AnswerGate, ResolveBySessionTtyPidSlotPrefixAndName) {
  rig.agent(1200, 12, "abcdef-1111", "idle", "backend");
  rig.agent(1300, 13, "abcdeg-2222");
  rig.agent(1400, 14, "qrstu-3333");
  auto slotOf = [](const std::string& q) {
    auto t = Control::resolve(q);
    return t ? t->slot : "-";
  };
  EXPECT_EQ(slotOf("s1"), "003");
  EXPECT_EQ(slotOf("/dev/pts/12"), "012");
  EXPECT_EQ(slotOf("1300"), "013");
  EXPECT_EQ(slotOf("12"), "012");
  EXPECT_EQ(slotOf("3"), "003");
  EXPECT_EQ(slotOf("abcdef"), "012");  // six characters: a session-id prefix
  EXPECT_EQ(slotOf("abcde"), "-");     // shared by two
  EXPECT_EQ(slotOf("qrstu-"), "014");
  EXPECT_EQ(slotOf("qrstu"), "-");  // five characters never are a prefix
  EXPECT_EQ(slotOf("BACKEND"), "012");
  UserNames::install([] { return std::map<std::string, std::string>{{"s1", "Front"}}; });
  EXPECT_EQ(slotOf("front"), "003");
  EXPECT_EQ(Control::displayName(terminal()), "Front");
  UserNames::install(nullptr);
  EXPECT_EQ(Control::displayName(terminal()), "terminal 003");
  EXPECT_EQ(slotOf(" "), "-");
}

TEST_F(AnswerGate, AWindowlessTerminalIsRefusedBeforeAnyScreenIsRead) {
  Terminal t = terminal();
  t.windowless = true;
  auto r = Control::answer(t, "", "Blue", "", "velmo-q", allowAll());
  EXPECT_EQ(r, (nlohmann::json{{"ok", false},
                               {"result", "not sent"},
                               {"error", "background session with no window — open it first"}}));
  EXPECT_EQ(rig.host.dumps(), 0);
}

TEST_F(AnswerGate, NothingIsAnsweredBlindOrWithoutAPrompt) {
  rig.host.setReadable(false);
  auto r = Control::answer(terminal(), "", "Blue", "", "velmo-q", allowAll());
  EXPECT_EQ(r["error"],
            "not sent: the console's screen cannot be read, so it is not answered blind");
  rig.host.setReadable(true);
  rig.host.show(kTty, Screens::idle());
  r = Control::answer(terminal(), "", "Blue", "", "velmo-q", allowAll());
  EXPECT_EQ(r["error"], "not sent: no open question on screen");
  EXPECT_EQ(r.size(), 3u);
  EXPECT_TRUE(rig.host.typed().empty());
  EXPECT_FALSE(Files::exists(Control::logFile()));  // "not sent" before typing is not logged
}

TEST_F(AnswerGate, AChangedQuestionIsRefusedWithItsCurrentId) {
  rig.host.show(kTty, Screens::ask("Which colour?", {"Blue", "Green", "Orange"}));
  auto r = Control::answer(terminal(), "0123456789abcdef", "Blue", "", "velmo-q", allowAll());
  EXPECT_EQ(r["error"], "not sent: the question on screen changed (id " + shownID() + ")");
  EXPECT_TRUE(rig.host.typed().empty());
}

TEST_F(AnswerGate, FreeTextOnlyWhereTheQuestionTakesIt) {
  rig.host.show(kTty, Screens::permission());
  auto r = Control::answer(terminal(), "", "", "do it", "velmo-q", allowAll());
  EXPECT_EQ(r["error"], "not sent: this question takes no free text");
  // Blanks and line breaks are no text: the option is used.
  r = Control::answer(terminal(), "", "zzz", " \n\t", "velmo-q", allowAll());
  EXPECT_EQ(r["error"],
            "not sent: no option “zzz”; options: Yes | Yes, and don't ask again for ls commands "
            "in /tmp | No");
  EXPECT_TRUE(rig.host.typed().empty());
}

TEST_F(AnswerGate, AnAnsweredQuestionIsLoggedAndMarksTheSession) {
  rig.host.show(kTty, Screens::ask("Which colour?", {"Blue", "Green", "Orange"}));
  promptGoesWhenTyped();
  std::vector<std::string> seen;
  auto r = Control::answer(terminal(), shownID(), "green", "", "velmo-q", allowAll(&seen));
  EXPECT_EQ(r["result"], "answered") << r.dump();
  EXPECT_EQ(r["ok"], true);
  EXPECT_EQ(r["answer"], "Green");
  EXPECT_EQ(r["who"], "tester");
  EXPECT_EQ(r["kind"], "ask");
  EXPECT_EQ(r["gate"], "routine");
  EXPECT_EQ(r["id"], shownID());
  EXPECT_FALSE(r.contains("next"));
  EXPECT_EQ(seen, std::vector<std::string>{shownID() + " routine Green"});
  ASSERT_FALSE(rig.host.typed().empty());
  EXPECT_EQ(rig.host.typed()[0].moves, 1);

  auto lines = logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["who"], "tester");
  EXPECT_EQ(lines[0]["via"], "velmo-q");
  EXPECT_EQ(lines[0]["action"], "answer");
  EXPECT_EQ(lines[0]["session"], "s1");
  EXPECT_EQ(lines[0]["option"], "Green");
  EXPECT_EQ(lines[0]["result"], "answered");
  EXPECT_TRUE(lines[0].contains("time"));

  // The gate's typing counts against relay evidence from this session.
  EXPECT_FALSE(Control::relayEvidence("s1", "Green", "other"));
}

TEST_F(AnswerGate, FreeTextIsTypedIntoTheFreeRow) {
  rig.host.show(kTty, Screens::ask("Which colour?", {"Blue", "Green"}));
  promptGoesWhenTyped();
  auto r = Control::answer(terminal(), "", "ignored", "  Teal, please \n", "velmo-q", allowAll());
  EXPECT_EQ(r["result"], "answered") << r.dump();
  EXPECT_EQ(r["answer"], "Teal, please");
}

TEST_F(AnswerGate, ARefusalIsLoggedAndNothingTyped) {
  rig.host.show(kTty, Screens::permission());
  auto r = Control::answer(
      terminal(), "", "No", "", "velmo-q",
      [](const Terminals::Picker&, const std::string&, const std::string&, const std::string&) {
        return Control::Authorization{false, "", "not you"};
      });
  EXPECT_EQ(r["result"], "refused");
  EXPECT_EQ(r["error"], "not you");
  EXPECT_EQ(r["kind"], "permission");
  EXPECT_EQ(r["gate"], "orlen-click");
  EXPECT_TRUE(rig.host.typed().empty());
  auto lines = logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["who"], "refused");
  EXPECT_EQ(lines[0]["note"], "not you");
}

TEST_F(AnswerGate, APromptThatStaysIsNotSentAndANewOneIsNamed) {
  rig.host.show(kTty, Screens::ask("Which colour?", {"Blue", "Green"}));
  rig.host.setTypingWorks(false);
  auto r = Control::answer(terminal(), "", "Blue", "", "velmo-q", allowAll());
  EXPECT_EQ(r["result"], "not sent");
  EXPECT_EQ(r["ok"], false);
  EXPECT_FALSE(r.contains("next"));

  rig.host.setTypingWorks(true);
  rig.host.onType([](ScriptedHost& h, const ScriptedHost::Call&) {
    h.show(kTty, Screens::ask("Which size?", {"Small", "Large"}));
  });
  r = Control::answer(terminal(), "", "Blue", "", "velmo-q", allowAll());
  EXPECT_EQ(r["result"], "answered") << r.dump();
  ASSERT_TRUE(r.contains("next"));
  EXPECT_EQ(r["next"]["question"], "Which size?");
  EXPECT_EQ(r["next"]["kind"], "ask");
}

TEST_F(AnswerGate, ALabelTheAgentWrappedIsAnsweredAndListedWhole) {
  const std::string full =
      "Welcome back to the planning board, where every team files its goals and reviews the "
      "numbers every week";
  writeTranscript(
      rig.home, "s1",
      Records::lines({Records::assistant(
          Records::Json::array({Records::askCall(Records::Json::array(
              {Records::question("Which wording?", "Banner",
                                 {{"Short", "Just the headline"}, {full, "The long one"}})}))}),
          rig.clock.now())}));
  // The agent continues the label on the row below, indented like its description.
  std::string screen =
      Text::join({"● Let me check with you first.", Screens::border(), "Which wording?", "",
                  "❯ 1. Short", "     Just the headline",
                  "  2. Welcome back to the planning board, where every team files its goals and",
                  "     reviews the numbers every week", "     The long one",
                  "  3. Type something.", Screens::border(), "  4. Chat about this", "",
                  "Enter to select · ↑/↓ to navigate · Esc to cancel"},
                 "\n");
  rig.host.show(kTty, screen);
  Control::resolve("s1");  // the terminals are known, as they are once the rack has scanned

  auto listed = StateFeed::snapshot(true)["sessions"][0]["questions"][0];
  EXPECT_EQ(listed["options"][1]["label"], full);
  EXPECT_EQ(listed["options"][1]["description"], "The long one");

  promptGoesWhenTyped();
  auto r = Control::answer(terminal(), listed["id"], full, "", "velmo-q", allowAll());
  EXPECT_EQ(r["result"], "answered") << r.dump();
  EXPECT_EQ(r["answer"], full);
  ASSERT_FALSE(rig.host.typed().empty());
  EXPECT_EQ(rig.host.typed()[0].moves, 1);
}

TEST_F(AnswerGate, APlanApprovalIsTheOwnersClick) {
  // The agent draws it without a footer, its heading above a line of explanation.
  rig.host.show(kTty, Text::join({"● Let me check with you first.", "", "  " + Screens::border(),
                                  "   Exit plan mode?", "", "   Claude wants to exit plan mode", "",
                                  "   ❯ 1. Yes, and switch to default (ask each time) for this "
                                  "session",
                                  "     2. No"},
                                 "\n"));
  std::vector<std::string> seen;
  auto r = Control::answer(terminal(), "", "No", "", "velmo-q",
                           [&](const Terminals::Picker& p, const std::string&,
                               const std::string& gate, const std::string&) {
                             seen.push_back(p.question + " " + gate);
                             return Control::Authorization{false, "", "needs a click"};
                           });
  EXPECT_EQ(r["result"], "refused");
  EXPECT_EQ(r["kind"], "plan");
  EXPECT_EQ(r["gate"], "orlen-click");
  EXPECT_EQ(seen, std::vector<std::string>{"Exit plan mode? orlen-click"});
  EXPECT_TRUE(rig.host.typed().empty());
}

TEST_F(AnswerGate, AnswerSaysAnsweredOnlyWhenItsKeysTookItsOwnQuestion) {
  // Two commands in one reply: two prompts alike but for the command above them.
  rig.host.show(kTty, Screens::permission(1, "touch one.txt"));
  auto first = Terminals::parseScreen(Screens::permission(1, "touch one.txt"), kTty);
  ASSERT_TRUE(first);
  const std::string qid = StateFeed::questionID(*first);
  rig.host.onType([](ScriptedHost& h, const ScriptedHost::Call&) {
    h.show(kTty, Screens::permission(1, "touch two.txt"));
  });
  auto r = Control::answer(terminal(), qid, "Yes", "", "velmo-q", allowAll());
  EXPECT_EQ(r["result"], "answered") << r.dump();
  ASSERT_TRUE(r.contains("next"));
  EXPECT_NE(r["next"]["id"], qid);
  EXPECT_EQ(rig.host.typed().size(), 1u);  // the second prompt waits for its owner

  // The same card again reaches nothing: its question has gone.
  r = Control::answer(terminal(), qid, "Yes", "", "velmo-q", allowAll());
  EXPECT_EQ(r["result"], "not sent");
  EXPECT_EQ(rig.host.typed().size(), 1u);
}

TEST_F(AnswerGate, APromptAnsweredInTheTerminalMeanwhileIsNotCalledAnswered) {
  rig.host.show(kTty, Screens::ask("Which colour?", {"Blue", "Green"}));
  // The owner answers in the terminal just after the gate's first look.
  rig.host.onDump([](ScriptedHost& h, int n) {
    if (n >= 1) h.show(kTty, Screens::idle());
  });
  auto r = Control::answer(terminal(), "", "Blue", "", "notification", allowAll());
  EXPECT_EQ(r["result"], "not sent") << r.dump();
  EXPECT_EQ(r["ok"], false);
  EXPECT_TRUE(r.contains("error"));
  EXPECT_TRUE(rig.host.typed().empty());
  auto lines = logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["result"], "not sent");
  EXPECT_TRUE(lines[0].contains("why"));
}

TEST_F(AnswerGate, KeysTypedIntoAScreenThatThenCannotBeReadAreUnverified) {
  rig.host.show(kTty, Screens::ask("Which colour?", {"Blue", "Green"}));
  rig.host.onType([](ScriptedHost& h, const ScriptedHost::Call&) { h.setReadable(false); });
  auto r = Control::answer(terminal(), "", "Blue", "", "velmo-q", allowAll());
  EXPECT_EQ(r["result"], "unverified") << r.dump();
  EXPECT_EQ(r["ok"], false);
  EXPECT_TRUE(r.contains("error"));
}
