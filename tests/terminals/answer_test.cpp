#include "terminals/answer.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "base/caches.h"
#include "base/lang.h"
#include "base/text.h"
#include "support/fake_clock.h"
#include "support/scripted_host.h"
#include "terminals/picker.h"

namespace {

const std::string kTty = "/dev/pts/4";

std::string border() {
  std::string out;
  for (int i = 0; i < 30; ++i) out += "─";
  return out;
}

std::string row(int n, int cursor, const std::string& label) {
  return std::string(n == cursor ? "❯ " : "  ") + std::to_string(n) + ". " + label;
}

std::string join(const std::vector<std::string>& rows) {
  return Text::join(rows, "\n") + "\n";
}

std::string single(int cursor) {
  return join({"● Shall I go on?", border(), "Go on?", "", row(1, cursor, "Yes"),
               row(2, cursor, "Maybe"), row(3, cursor, "No"), "", "Esc to cancel · Tab to amend"});
}

std::string multi(int cursor, const std::set<int>& ticked) {
  std::vector<std::string> rows = {border(), "Which checks?", ""};
  const char* names[] = {"Unit", "Lint", "Fuzz", "Docs"};
  for (int n = 1; n <= 4; ++n)
    rows.push_back(row(n, cursor, std::string(ticked.count(n) ? "[✔] " : "[ ] ") + names[n - 1]));
  rows.insert(rows.end(), {"", "Enter to select · ↑/↓ to navigate · Esc to cancel"});
  return join(rows);
}

std::string review(int cursor) {
  return join({border(), "Review your answers", "", " ● Which checks?", "   → Lint", "",
               row(1, cursor, "Submit answers"), row(2, cursor, "Cancel"), "", ""});
}

std::string freeText(int cursor, const std::string& typed = "") {
  return join({border(), "Which colour?", "", row(1, cursor, "Blue"), row(2, cursor, "Green"),
               row(3, cursor, "Orange"), row(4, cursor, typed.empty() ? "Type something." : typed),
               border(), "  5. Chat about this", "",
               "Enter to select · ↑/↓ to navigate · Esc to cancel"});
}

const std::string kIdle = join({"● Done.", border(), "❯ ", border(), "  ? for shortcuts"});

std::vector<int> moves(const ScriptedHost& host) {
  std::vector<int> out;
  for (const auto& c : host.typed())
    if (c.kind == "keys") out.push_back(c.moves);
  return out;
}

class Answers : public ::testing::Test {
 protected:
  // The prompt on the terminal's screen now, as a card drawn from it would mean it; one
  // that matches nothing when no prompt shows.
  Terminals::Meant shown() {
    auto screen = host.screen(kTty);
    auto p = screen ? Terminals::parseScreen(*screen, kTty) : std::nullopt;
    std::string key = p ? Terminals::promptKey(*p) : "-";
    return [key](const Terminals::Picker& q) { return Terminals::promptKey(q) == key; };
  }

  void SetUp() override { Caches::emptyAll(); }
  void TearDown() override { Caches::emptyAll(); }
  FakeClock clock;
  ScriptedHost host;
};

}  // namespace

TEST_F(Answers, ChoosingMovesToTheRowAndSucceedsWhenThePromptGoes) {
  host.show(kTty, single(1));
  host.onType([](ScriptedHost& h, const ScriptedHost::Call&) { h.show(kTty, kIdle); });
  auto answered = Terminals::choose("2", kTty, shown());
  EXPECT_TRUE(answered);
  EXPECT_EQ(moves(host), std::vector<int>{1});
  EXPECT_EQ(host.typed()[0].text, "");
  EXPECT_EQ(answered.why, "");
}

TEST_F(Answers, ChoosingTheMarkedRowSendsReturnAlone) {
  host.show(kTty, single(3));
  host.onType([](ScriptedHost& h, const ScriptedHost::Call&) { h.show(kTty, kIdle); });
  EXPECT_TRUE(Terminals::choose("3", kTty, shown()));
  EXPECT_EQ(moves(host), std::vector<int>{0});
}

TEST_F(Answers, AnOptionThePromptLacksIsNeverTyped) {
  host.show(kTty, single(1));
  auto answered = Terminals::choose("5", kTty, shown());
  EXPECT_FALSE(answered);
  EXPECT_TRUE(host.typed().empty());
  EXPECT_EQ(answered.why,
            Lang::pick("A different question is open in the terminal now — not sent, so as not to "
                       "answer it by mistake",
                       "במסוף פתוחה עכשיו שאלה אחרת — לא שלחתי כדי לא לענות עליה בטעות"));
}

TEST_F(Answers, AnInvalidAnswerFailsAtOnce) {
  host.show(kTty, single(1));
  EXPECT_FALSE(Terminals::choose("x", kTty, shown()));
  auto answered = Terminals::choose("", kTty, shown());
  EXPECT_FALSE(answered);
  EXPECT_TRUE(host.typed().empty());
  EXPECT_EQ(host.dumps(), 0);
  EXPECT_EQ(answered.why, Lang::pick("Invalid answer", "תשובה לא תקינה"));
}

TEST_F(Answers, NothingIsTypedWhenThePromptIsGoneOrTheScreenUnreadable) {
  host.show(kTty, kIdle);
  auto answered = Terminals::choose("1", kTty, shown());
  EXPECT_FALSE(answered);
  EXPECT_EQ(answered.why,
            Lang::pick("The question is no longer open in the terminal — it may have been answered "
                       "or cancelled there",
                       "השאלה כבר לא פתוחה במסוף — אולי נענתה או בוטלה שם"));
  // A screen that cannot be read shows no prompt, so nothing is typed blind.
  host.setReadable(false);
  answered = Terminals::choose("1", kTty, shown());
  EXPECT_FALSE(answered);
  EXPECT_EQ(answered.why,
            Lang::pick("Could not reach the terminal window", "לא הצלחתי להגיע לחלון־המסוף"));
  host.setReadable(true);
  host.hide(kTty);
  host.show("/dev/pts/9", single(1));
  EXPECT_FALSE(Terminals::choose("1", kTty, shown()));
  EXPECT_TRUE(host.typed().empty());
}

TEST_F(Answers, TypingThatFailsIsReported) {
  host.show(kTty, single(1));
  host.setTypingWorks(false);
  auto answered = Terminals::choose("2", kTty, shown());
  EXPECT_FALSE(answered);
  EXPECT_EQ(answered.why,
            Lang::pick("Could not type into the terminal window", "לא הצלחתי להקליד בחלון־המסוף"));
}

TEST_F(Answers, MultipleChoiceTicksThenSubmitsThroughTheReviewScreen) {
  host.show(kTty, multi(1, {}));
  int step = 0;
  host.onType([&](ScriptedHost& h, const ScriptedHost::Call&) {
    ++step;
    if (step == 1) h.show(kTty, multi(2, {2}));  // Return ticked row 2
    if (step == 2) h.show(kTty, review(1));      // Return past the last row submits the form
    if (step == 3) h.show(kTty, kIdle);          // and Submit on the review screen sends it
  });
  EXPECT_TRUE(Terminals::choose("2", kTty, shown()));
  EXPECT_EQ(moves(host), (std::vector<int>{1, 3, 0}));
}

TEST_F(Answers, ATickedOptionIsNotUntickedOnlySubmitted) {
  host.show(kTty, multi(1, {2}));
  host.onType([](ScriptedHost& h, const ScriptedHost::Call&) { h.show(kTty, kIdle); });
  EXPECT_TRUE(Terminals::choose("2", kTty, shown()));
  EXPECT_EQ(moves(host), std::vector<int>{4});
}

TEST_F(Answers, APromptThatStaysGetsTheKeysOnceMoreThenFails) {
  host.show(kTty, single(1));
  std::vector<double> when;
  host.onType([&](ScriptedHost&, const ScriptedHost::Call&) { when.push_back(clock.now()); });
  const double start = clock.now();
  auto answered = Terminals::choose("2", kTty, shown());
  EXPECT_FALSE(answered);
  ASSERT_EQ(when.size(), 2u);
  EXPECT_GE(when[1] - when[0], 2.5);
  EXPECT_LE(when[1] - when[0], 5.5);
  EXPECT_GE(clock.now() - start, 9.0);
  EXPECT_EQ(
      answered.why,
      Lang::pick(
          "The answer was typed, but the question is still open in the terminal after 9 seconds",
          "הקלדתי את התשובה, אבל השאלה עדיין פתוחה במסוף אחרי 9 שניות"));
}

TEST_F(Answers, TheLastAnswerOfAFormSubmitsItsReviewScreen) {
  host.show(kTty, single(1));
  int step = 0;
  host.onType([&](ScriptedHost& h, const ScriptedHost::Call&) {
    if (++step == 1)
      h.show(kTty, review(1));
    else
      h.show(kTty, kIdle);
  });
  EXPECT_TRUE(Terminals::choose("3", kTty, shown()));
  EXPECT_EQ(moves(host), (std::vector<int>{2, 0}));
}

TEST_F(Answers, TheTerminalIsMarkedWhileAndShortlyAfterAnAnswer) {
  host.show(kTty, single(1));
  bool markedWhileTyping = false;
  host.onType([&](ScriptedHost& h, const ScriptedHost::Call&) {
    markedWhileTyping = Terminals::answering(kTty);
    h.show(kTty, kIdle);
  });
  EXPECT_FALSE(Terminals::answering(kTty));
  EXPECT_TRUE(Terminals::choose("1", kTty, shown()));
  EXPECT_TRUE(markedWhileTyping);
  EXPECT_TRUE(Terminals::answering(kTty));
  clock.advance(2.9);
  EXPECT_TRUE(Terminals::answering(kTty));
  clock.advance(0.2);
  EXPECT_FALSE(Terminals::answering(kTty));
}

TEST_F(Answers, FreeTextGoesToItsRowAsOneLine) {
  host.show(kTty, freeText(1));
  host.onType([](ScriptedHost& h, const ScriptedHost::Call&) { h.show(kTty, kIdle); });
  EXPECT_TRUE(Terminals::answerFree("purple\nwith dots ", kTty, shown()));
  ASSERT_EQ(host.typed().size(), 1u);
  EXPECT_EQ(host.typed()[0].moves, 3);
  EXPECT_EQ(host.typed()[0].text, "purple with dots");
}

TEST_F(Answers, FreeTextLeftInItsRowIsStillTheSamePrompt) {
  // The agent draws the typed text in place of "Type something"; if Return was lost the
  // text sits there, and the answer presses Return once more rather than calling it done.
  host.show(kTty, freeText(1));
  host.onType([](ScriptedHost& h, const ScriptedHost::Call& c) {
    if (c.kind == "keys") h.show(kTty, freeText(4, c.text));
  });
  EXPECT_FALSE(Terminals::answerFree("purple with dots", kTty, shown()));
  auto typed = host.typed();
  ASSERT_EQ(typed.size(), 2u);
  EXPECT_EQ(typed[1].kind, "line");
  EXPECT_EQ(typed[1].text, "");
}

TEST_F(Answers, FreeTextIsRefusedWhereItCannotGo) {
  host.show(kTty, freeText(1));
  auto answered = Terminals::answerFree(" \n ", kTty, shown());
  EXPECT_FALSE(answered);
  EXPECT_EQ(answered.why, Lang::pick("The answer is empty", "התשובה ריקה"));

  host.show(kTty, multi(1, {}));
  answered = Terminals::answerFree("hello", kTty, shown());
  EXPECT_FALSE(answered);
  EXPECT_EQ(
      answered.why,
      Lang::pick(
          "Free text cannot be sent from here in a multi-select question — tick options, or type "
          "it in "
          "the terminal",
          "בשאלה עם בחירה מרובה אי־אפשר לשלוח טקסט חופשי מכאן — לסמן אפשרויות, או לכתוב במסוף"));

  host.show(kTty, single(1));
  answered = Terminals::answerFree("hello", kTty, shown());
  EXPECT_FALSE(answered);
  EXPECT_EQ(answered.why, Lang::pick("This question has no free-text row — pick one of the options",
                                     "לשאלה הזאת אין שורה לטקסט חופשי — לבחור אחת האפשרויות"));
  EXPECT_TRUE(host.typed().empty());
}

TEST_F(Answers, ASecondAnswerToTheSameTerminalIsRefusedWhileTheFirstTypes) {
  host.show(kTty, single(1));
  std::promise<void> firstTyping, secondDone;
  auto release = secondDone.get_future();
  host.onType([&](ScriptedHost& h, const ScriptedHost::Call&) {
    firstTyping.set_value();
    release.wait();
    h.show(kTty, kIdle);
  });
  bool first = false;
  std::thread worker([&] { first = Terminals::choose("2", kTty, shown()).ok; });
  firstTyping.get_future().wait();
  EXPECT_FALSE(Terminals::choose("3", kTty, shown()));
  auto answered = Terminals::answerFree("text", kTty, shown());
  EXPECT_FALSE(answered);
  EXPECT_EQ(
      answered.why,
      Lang::pick("Another answer is still being typed into this terminal — try again in a moment",
                 "תשובה אחרת עדיין מוקלדת במסוף הזה — לנסות שוב בעוד רגע"));
  secondDone.set_value();
  worker.join();
  EXPECT_TRUE(first);
  EXPECT_EQ(moves(host), std::vector<int>{1});
}

namespace {

// A permission prompt as the agent draws it: the command in its box above the question.
std::string permission(const std::string& command, int cursor = 1) {
  return join({"● Let me run it.", border(), " Bash command", "", " " + command, "",
               " Do you want to proceed?", row(1, cursor, "Yes"),
               row(2, cursor, "Yes, and don't ask again for touch commands"), row(3, cursor, "No"),
               "", " Esc to cancel · Tab to amend"});
}

}  // namespace

TEST_F(Answers, AYesForOnePromptNeverReachesTheNextThatAsksAlike) {
  // One reply, two commands: the second prompt asks the same question with the same rows.
  host.show(kTty, permission("touch one.txt"));
  auto meant = shown();
  host.onType([](ScriptedHost& h, const ScriptedHost::Call&) {
    h.show(kTty, permission("touch two.txt"));
  });
  auto answered = Terminals::choose("1", kTty, meant);
  EXPECT_TRUE(answered);
  EXPECT_TRUE(answered.typed);
  // One Return for the first prompt; the second stays for its owner, past every retry.
  EXPECT_EQ(host.typed().size(), 1u);
  clock.advance(30);
  EXPECT_EQ(host.typed().size(), 1u);

  // A card drawn for the first prompt types nothing into the second.
  answered = Terminals::choose("1", kTty, meant);
  EXPECT_FALSE(answered);
  EXPECT_FALSE(answered.typed);
  EXPECT_EQ(host.typed().size(), 1u);
}

TEST_F(Answers, AnAnswerThatCannotSayWhichQuestionItIsForIsNeverTyped) {
  host.show(kTty, single(1));
  for (auto answered : {Terminals::choose("1", kTty, {}), Terminals::answerFree("hi", kTty, {})}) {
    EXPECT_FALSE(answered);
    EXPECT_FALSE(answered.typed);
    EXPECT_TRUE(Text::contains(answered.why, Lang::pick("not known", "לא ידוע")));
  }
  EXPECT_EQ(host.dumps(), 0);
  EXPECT_TRUE(host.typed().empty());
}

TEST_F(Answers, ReadingsThatNeverAgreeDecideNothing) {
  // A screen that redraws between two prompts at every reading settles on neither.
  host.show(kTty, permission("touch one.txt"));
  auto meant = shown();
  host.onDump([](ScriptedHost& h, int n) {
    h.show(kTty, permission(n % 2 ? "touch two.txt" : "touch one.txt"));
  });
  auto answered = Terminals::choose("1", kTty, meant);
  EXPECT_FALSE(answered);
  EXPECT_FALSE(answered.typed);
  EXPECT_EQ(answered.why, Lang::pick("Not sent: the screen did not settle", "לא נשלח: המסך לא התייצב"));
  EXPECT_TRUE(host.typed().empty());
}

TEST_F(Answers, AScreenLostAfterTypingConfirmsNothing) {
  host.show(kTty, single(1));
  host.onType([](ScriptedHost& h, const ScriptedHost::Call&) { h.setReadable(false); });
  auto answered = Terminals::choose("2", kTty, shown());
  EXPECT_FALSE(answered);
  EXPECT_TRUE(answered.typed);
  EXPECT_TRUE(Text::contains(answered.why, Lang::pick("could not be read", "לא הצלחתי לקרוא")));
  EXPECT_EQ(host.typed().size(), 1u);
}
