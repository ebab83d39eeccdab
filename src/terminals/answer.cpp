#include "terminals/answer.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "base/caches.h"
#include "base/clock.h"
#include "base/lang.h"
#include "base/text.h"
#include "terminals/host.h"
#include "terminals/input_row.h"
#include "terminals/picker.h"

namespace Terminals {
namespace {

constexpr double kSettleFor = 9;     // seconds the screen is watched after typing
constexpr double kRetryAfter = 2.5;  // when the keys are sent once more
constexpr double kSettleStep = 0.5;
constexpr double kAnsweringAfter = 3;  // the terminal stays marked this long after an answer
constexpr double kTickPause = 0.5;     // for the agent to redraw a ticked row
constexpr size_t kFreeNeedleChars = 12;
constexpr Clock::Time kDistantFuture = 1e300;

std::mutex lock;
std::map<std::string, Clock::Time> answeringUntil;
// One answer at a time per terminal: a second one racing into the same prompt would type
// its keys into whatever the first left on screen.
std::map<std::string, std::shared_ptr<std::mutex>> typing;

const char* invalidAnswer() {
  return Lang::pick("Invalid answer", "תשובה לא תקינה");
}
const char* unreachable() {
  return Lang::pick("Could not reach the terminal window", "לא הצלחתי להגיע לחלון־המסוף");
}
const char* promptGone() {
  return Lang::pick(
      "The question is no longer open in the terminal — it may have been answered or cancelled "
      "there",
      "השאלה כבר לא פתוחה במסוף — אולי נענתה או בוטלה שם");
}
const char* differentPrompt() {
  return Lang::pick(
      "A different question is open in the terminal now — not sent, so as not to answer it by "
      "mistake",
      "במסוף פתוחה עכשיו שאלה אחרת — לא שלחתי כדי לא לענות עליה בטעות");
}
const char* typingFailed() {
  return Lang::pick("Could not type into the terminal window", "לא הצלחתי להקליד בחלון־המסוף");
}
const char* stillOpen() {
  return Lang::pick(
      "The answer was typed, but the question is still open in the terminal after 9 seconds",
      "הקלדתי את התשובה, אבל השאלה עדיין פתוחה במסוף אחרי 9 שניות");
}
const char* emptyFree() {
  return Lang::pick("The answer is empty", "התשובה ריקה");
}
const char* freeOnMulti() {
  return Lang::pick(
      "Free text cannot be sent from here in a multi-select question — tick options, or type it in "
      "the terminal",
      "בשאלה עם בחירה מרובה אי־אפשר לשלוח טקסט חופשי מכאן — לסמן אפשרויות, או לכתוב במסוף");
}
const char* noFreeRow() {
  return Lang::pick("This question has no free-text row — pick one of the options",
                    "לשאלה הזאת אין שורה לטקסט חופשי — לבחור אחת האפשרויות");
}
const char* unconfirmed() {
  return Lang::pick(
      "The answer was typed, but the terminal's screen could not be read to confirm it",
      "התשובה הוקלדה, אבל לא הצלחתי לקרוא את מסך המסוף כדי לוודא שנקלטה");
}
const char* unsettled() {
  return Lang::pick("Not sent: the screen did not settle", "לא נשלח: המסך לא התייצב");
}
const char* unknownQuestion() {
  return Lang::pick(
      "Not sent: it is not known which question this answer is for — open the terminal and "
      "answer there",
      "לא נשלח: לא ידוע לאיזו שאלה התשובה הזאת מיועדת — לפתוח את המסוף ולענות שם");
}
const char* busy() {
  return Lang::pick(
      "Another answer is still being typed into this terminal — try again in a moment",
      "תשובה אחרת עדיין מוקלדת במסוף הזה — לנסות שוב בעוד רגע");
}

// Marks the terminal as being answered for the answer's life and keeps why it failed.
class Answer {
 public:
  explicit Answer(std::string terminal) : tty(std::move(terminal)) {
    std::lock_guard<std::mutex> guard(lock);
    answeringUntil[tty] = kDistantFuture;
  }
  ~Answer() {
    std::lock_guard<std::mutex> guard(lock);
    answeringUntil[tty] = Clock::now() + kAnsweringAfter;
  }
  Answer(const Answer&) = delete;
  Answer& operator=(const Answer&) = delete;

  bool fail(const char* message) {
    reason = message;
    return false;
  }
  // Keys went out: from here on a failure is no longer "nothing was typed".
  bool typedIf(bool sent) {
    typed = typed || sent;
    return sent;
  }
  Answered outcome(bool ok) const { return {ok, typed, ok ? std::string() : reason}; }

  const std::string tty;

 private:
  std::string reason;
  bool typed = false;
};

std::shared_ptr<std::mutex> typingLock(const std::string& tty) {
  std::lock_guard<std::mutex> guard(lock);
  auto& m = typing[tty];
  if (!m) m = std::make_shared<std::mutex>();
  return m;
}

// A whole decimal number, with an optional sign.
bool readNumber(const std::string& text, int& out) {
  std::string t = Text::startsWith(text, "+") ? text.substr(1) : text;
  long long n = 0;
  if (!Text::parseInt(t, n) || n < -100000 || n > 100000) return false;
  out = static_cast<int>(n);
  return true;
}

bool injectMoves(int from, int to, const std::string& text, const std::string& tty) {
  return host().typeKeys(tty, to - from, text);
}

// The row after the last one, where the agent's multiple choice keeps its submit row.
int moveOnRow(const Picker& p) {
  if (p.freeRow > 0) return p.freeRow + 1;
  int last = 0;
  bool any = false;
  for (const auto& o : p.options) {
    int n = 0;
    if (readNumber(o.n, n)) {
      last = any ? std::max(last, n) : n;
      any = true;
    }
  }
  return any ? last + 1 : 1;
}

std::optional<Picker> pickerOf(const std::vector<Picker>& list, const std::string& tty) {
  for (const auto& p : list)
    if (p.tty == tty) return p;
  return std::nullopt;
}

bool hasOption(const Picker& p, const std::string& n) {
  return std::any_of(p.options.begin(), p.options.end(), [&](const Option& o) { return o.n == n; });
}

using Key = std::function<std::string(const Picker&)>;
using Retry = std::function<void(const Picker&)>;

// Watches the screen after typing until the prompt (as told by `key`, which holds the
// command or plan above it) is gone or another has replaced it; presses once more if the
// very same prompt still shows; gives up after 9 seconds. A review screen that replaces the
// prompt is submitted. A screen that cannot be read confirms nothing.
bool settle(Answer& answer, const std::string& before, bool review, const Key& key,
            const Retry& retry) {
  const Clock::Time start = Clock::now();
  bool retried = false;
  while (Clock::now() - start < kSettleFor) {
    Clock::sleep(kSettleStep);
    PickerScan scan = pickers(true);
    if (!scan.readable || !pickerTTYs().count(answer.tty)) return answer.fail(unconfirmed());
    auto p = pickerOf(scan.list, answer.tty);
    if (!p) return true;
    if (key(*p) != before) {
      if (!p->review || review) return true;
      // The answer completed a form, and the agent asks to confirm it.
      auto submit = std::find_if(p->options.begin(), p->options.end(), [](const Option& o) {
        return Text::startsWith(Text::lower(o.label), "submit");
      });
      int row = 0;
      if (submit == p->options.end() || !readNumber(submit->n, row)) return true;
      if (!answer.typedIf(injectMoves(p->cursor, row, "", answer.tty)))
        return answer.fail(typingFailed());
      const std::string tty = answer.tty;
      return settle(answer, promptKey(*p), true, promptKey,
                    [tty, row](const Picker& q) { injectMoves(q.cursor, row, "", tty); });
    }
    if (!retried && Clock::now() - start > kRetryAfter) {
      // Only into the prompt that was answered: two permission prompts in a row ask alike,
      // and a press meant for the first must never approve the second.
      auto again = stablePicker(answer.tty);
      if (again.picker && key(*again.picker) == before) retry(*again.picker);
      retried = true;
    }
  }
  return answer.fail(stillOpen());
}

// What a stable reading says when it offers no prompt to type into.
bool unreadable(Answer& a, const StableReading& reading) {
  if (!reading.seen) return a.fail(unreachable());
  if (!reading.settled) return a.fail(unsettled());
  return a.fail(promptGone());
}

bool chooseIn(Answer& a, const std::string& answer, const std::string& tty, const Meant& meant) {
  int n = 0;
  if (answer.empty() || !readNumber(answer, n)) return a.fail(invalidAnswer());
  if (!meant) return a.fail(unknownQuestion());
  auto reading = stablePicker(tty, [&](const Picker& p) { return hasOption(p, answer); });
  // Nothing is ever typed blind: a screen that cannot be read cannot show the prompt meant.
  if (!reading.picker) return unreadable(a, reading);
  const Picker p = *reading.picker;
  if (!hasOption(p, answer) || !meant(p)) return a.fail(differentPrompt());
  const std::string before = promptKey(p);

  if (!p.multi) {
    if (!a.typedIf(injectMoves(p.cursor, n, "", tty))) return a.fail(typingFailed());
    return settle(a, before, p.review, promptKey,
                  [tty, n](const Picker& q) { injectMoves(q.cursor, n, "", tty); });
  }

  // Multiple choice: Return ticks the row under the cursor, and Return on the row after
  // the last one submits. A ticked row is left alone, as Return would untick it.
  int from = p.cursor;
  std::string ticked = before;
  if (!p.checked.count(answer)) {
    if (!a.typedIf(injectMoves(p.cursor, n, "", tty))) return a.fail(typingFailed());
    Clock::sleep(kTickPause);
    // The submit goes only into the form that was ticked: the same question and rows (the
    // form's heading may tick its own box with the row, so the key may change with it).
    PickerScan scan = pickers(true);
    if (!scan.readable || !pickerTTYs().count(tty)) return a.fail(unconfirmed());
    auto now = pickerOf(scan.list, tty);
    if (!now) return a.fail(promptGone());
    if (signature(*now) != signature(p) || !now->multi) return a.fail(differentPrompt());
    from = now->cursor;
    ticked = promptKey(*now);
  }
  if (!a.typedIf(injectMoves(from, moveOnRow(p), "", tty))) return a.fail(typingFailed());
  return settle(a, ticked, false, promptKey,
                [tty](const Picker& q) { injectMoves(q.cursor, moveOnRow(q), "", tty); });
}

bool answerFreeIn(Answer& a, const std::string& text, const std::string& tty, const Meant& meant) {
  const std::string line = Text::trimBlanks(typeable(Text::replaceAll(text, "\n", " ")));
  if (line.empty()) return a.fail(emptyFree());
  if (!meant) return a.fail(unknownQuestion());
  auto reading = stablePicker(tty, [](const Picker& p) { return p.freeRow > 0; });
  if (!reading.picker) return unreadable(a, reading);
  const Picker p = *reading.picker;
  if (!meant(p)) return a.fail(differentPrompt());
  if (p.multi) return a.fail(freeOnMulti());
  if (p.freeRow == 0) return a.fail(noFreeRow());
  if (!a.typedIf(injectMoves(p.cursor, p.freeRow, line, tty))) return a.fail(typingFailed());

  // While text sits in the free-text row the agent draws it in place of "Type something",
  // so that row is no part of what makes the prompt the same prompt.
  const std::string row = std::to_string(p.freeRow);
  Key key = [row](const Picker& q) {
    Picker c = q;
    c.options.erase(std::remove_if(c.options.begin(), c.options.end(),
                                   [&](const Option& o) { return o.n == row; }),
                    c.options.end());
    return promptKey(c) + (q.review ? "|R" : "");
  };
  const std::string needle = Text::prefix(Text::replaceAll(line, " ", ""), kFreeNeedleChars);
  Retry retry = [tty, needle](const Picker&) {
    auto screen = host().screen(tty);
    if (!screen || *screen == "<<none>>") return;
    if (Text::contains(Text::replaceAll(*screen, " ", ""), needle)) host().typeLine(tty, "");
  };
  return settle(a, key(p), false, key, retry);
}

}  // namespace

Answered choose(const std::string& answer, const std::string& tty, const Meant& meant) {
  auto own = typingLock(tty);
  std::unique_lock<std::mutex> serial(*own, std::try_to_lock);
  if (!serial.owns_lock()) return {false, false, busy()};
  Answer a(tty);
  return a.outcome(chooseIn(a, answer, tty, meant));
}

Answered answerFree(const std::string& text, const std::string& tty, const Meant& meant) {
  auto own = typingLock(tty);
  std::unique_lock<std::mutex> serial(*own, std::try_to_lock);
  if (!serial.owns_lock()) return {false, false, busy()};
  Answer a(tty);
  return a.outcome(answerFreeIn(a, text, tty, meant));
}

bool answering(const std::string& tty) {
  std::lock_guard<std::mutex> guard(lock);
  auto it = answeringUntil.find(tty);
  return it != answeringUntil.end() && it->second > Clock::now();
}

namespace {
const Caches::Enrolled enrolled = Caches::guarded("answering marks", lock, answeringUntil);
}  // namespace

}  // namespace Terminals
