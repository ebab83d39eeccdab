// The gate for answers from outside the window, and what the control protocol and the
// notification path share: finding a terminal or an option by a loose reference, a
// terminal's display name, and the answers log.

#include <map>

#include "base/caches.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "control/control.h"
#include "control/typed.h"
#include "feed/state_feed.h"
#include "sessions/state.h"
#include "terminals/answer.h"
#include "terminals/discover.h"

namespace Control {
namespace {

constexpr double kSettleSeconds = 0.4;
constexpr size_t kLogQuestionChars = 400;

std::map<std::string, Clock::Time> typedInto;

nlohmann::json notSent(const std::string& error) {
  return {{"ok", false}, {"result", "not sent"}, {"error", error}};
}

std::optional<Terminals::Picker> pickerFor(const std::vector<Terminals::Picker>& list,
                                           const std::string& tty) {
  for (const auto& p : list)
    if (p.tty == tty) return p;
  return std::nullopt;
}

bool covered(const Terminals::PickerScan& scan, const std::string& tty) {
  return scan.readable && Terminals::pickerTTYs().count(tty) > 0;
}

}  // namespace

std::mutex& lock() {
  static std::mutex m;
  return m;
}

void markTyped(const std::string& sessionID) {
  std::lock_guard<std::mutex> guard(lock());
  typedInto[sessionID] = Clock::now();
}

// Read by relay evidence with the lock held.
std::optional<Clock::Time> typedAtLocked(const std::string& sessionID) {
  auto it = typedInto.find(sessionID);
  if (it == typedInto.end()) return std::nullopt;
  return it->second;
}

namespace {
const Caches::Enrolled enrolled = Caches::guarded("typed sessions", lock(), typedInto);
}  // namespace

nlohmann::json answer(const Terminal& term, const std::string& expect, const std::string& option,
                      const std::string& text, const std::string& via, const Authorize& authorize) {
  if (term.windowless) return notSent("background session with no window — open it first");

  auto scan = Terminals::pickers(true);
  auto picker = pickerFor(scan.list, term.tty);
  if (!covered(scan, term.tty))
    return notSent("not sent: the console's screen cannot be read, so it is not answered blind");
  if (!picker) return notSent("not sent: no open question on screen");

  std::string qid = StateFeed::questionID(*picker);
  if (!expect.empty() && expect != qid)
    return notSent("not sent: the question on screen changed (id " + qid + ")");
  std::string kind = StateFeed::kind(*picker);
  std::string gate = StateFeed::gate(kind, *picker);

  std::string free = Text::trim(text);
  std::optional<Terminals::Option> choice;
  std::string answerText;
  if (!free.empty()) {
    if (kind != "ask" || picker->freeRow < 1 || picker->multi)
      return notSent("not sent: this question takes no free text");
    answerText = free;
  } else {
    choice = pickOption(*picker, option);
    if (!choice) {
      std::vector<std::string> labels;
      for (const auto& o : picker->options) labels.push_back(o.label);
      return notSent("not sent: no option “" + option + "”; options: " + Text::join(labels, " | "));
    }
    answerText = choice->label;
  }

  Authorization auth = authorize ? authorize(*picker, qid, gate, answerText)
                                 : Authorization{false, "", "no authorisation step"};
  if (!auth.allowed) {
    log("refused", term, *picker, answerText, auth.note, "refused", via);
    return {{"ok", false},  {"result", "refused"}, {"error", auth.note},
            {"kind", kind}, {"gate", gate},        {"id", qid}};
  }

  if (!term.sessionID.empty()) markTyped(term.sessionID);
  // Authorising can take long (a click in the window): only the question authorised is
  // answered, and only while the screen shows it.
  Terminals::Meant meant = StateFeed::showing(qid);
  Terminals::Answered typed = choice ? Terminals::choose(choice->n, term.tty, meant)
                                     : Terminals::answerFree(answerText, term.tty, meant);

  Clock::sleep(kSettleSeconds);
  auto after = Terminals::pickers(true);
  auto now = pickerFor(after.list, term.tty);
  // "answered" only when keys went out and the screen no longer shows the question they
  // were for: a prompt that left without them was answered elsewhere, and a prompt that
  // looks alike but asks about another command is another prompt.
  bool stillShows = now && StateFeed::questionID(*now) == qid;
  std::string result;
  if (!typed.typed)
    result = "not sent";
  else if (covered(after, term.tty))
    result = stillShows ? "not sent" : "answered";
  else
    result = "unverified";
  std::string why;
  if (result != "answered")
    why = !typed.why.empty() ? typed.why
          : result == "unverified"
              ? "typed, but the screen could not be read to confirm it"
              : "typed, but the question is still open on screen";

  log(auth.who, term, *picker, answerText, auth.note, result, via, why);
  nlohmann::json reply = {{"ok", result == "answered"},
                          {"result", result},
                          {"who", auth.who},
                          {"kind", kind},
                          {"gate", gate},
                          {"id", qid},
                          {"answer", answerText}};
  if (!why.empty()) reply["error"] = why;
  if (now && !stillShows)
    reply["next"] = {{"id", StateFeed::questionID(*now)},
                     {"question", StateFeed::redact(now->question)},
                     {"kind", StateFeed::kind(*now)}};
  return reply;
}

std::optional<Terminals::Option> pickOption(const Terminals::Picker& picker,
                                            const std::string& reference) {
  std::string r = Text::trimBlanks(reference);
  if (r.empty()) return std::nullopt;
  for (const auto& o : picker.options)
    if (o.label == r) return o;
  std::string lowered = Text::lower(r);
  for (const auto& o : picker.options)
    if (Text::lower(o.label) == lowered) return o;
  if (r[0] == '#') {
    for (const auto& o : picker.options)
      if (o.n == r.substr(1)) return o;
    return std::nullopt;
  }
  std::optional<Terminals::Option> only;
  for (const auto& o : picker.options) {
    if (!Text::startsWith(Text::lower(o.label), lowered)) continue;
    if (only) return std::nullopt;  // ambiguous
    only = o;
  }
  return only;
}

std::optional<Terminal> resolve(const std::string& query) {
  std::string q = Text::trim(query);
  if (q.empty()) return std::nullopt;
  auto terms = Terminals::open();
  for (const auto& t : terms)
    if (t.sessionID == q || t.tty == q || std::to_string(t.pid) == q) return t;

  long long n = 0;
  bool digits = q.find_first_not_of("0123456789") == std::string::npos;
  if (digits && Text::parseInt(q, n)) {
    for (const auto& t : terms) {
      long long slot = 0;
      if (Text::parseInt(t.slot, slot) && slot == n) return t;
    }
  }
  auto single = [&](const std::function<bool(const Terminal&)>& match) -> std::optional<Terminal> {
    std::optional<Terminal> found;
    for (const auto& t : terms) {
      if (!match(t)) continue;
      if (found) return std::nullopt;
      found = t;
    }
    return found;
  };
  // A name longer than five characters must still be found when no session id begins
  // with it.
  if (Text::length(q) > 5)
    if (auto t = single([&](const Terminal& t) { return Text::startsWith(t.sessionID, q); }))
      return t;
  auto names = UserNames::all();
  std::string lowered = Text::lower(q);
  return single([&](const Terminal& t) {
    std::string name;
    if (!t.sessionID.empty()) {
      auto it = names.find(t.sessionID);
      if (it != names.end()) name = it->second;
    }
    return (!name.empty() && Text::lower(name) == lowered) ||
           (!t.recordName.empty() && Text::lower(t.recordName) == lowered);
  });
}

std::string displayName(const Terminal& term) {
  std::string name = UserNames::of(term.sessionID);
  if (!name.empty()) return name;
  if (!term.recordName.empty()) return term.recordName;
  if (!term.sessionID.empty())
    if (auto s = Sessions::state(term.sessionID); s && !s->title.empty()) return s->title;
  return "terminal " + term.slot;
}

std::string logFile() {
  return Files::join(StateFeed::dir(), "answers.log");
}

void log(const std::string& who, const Terminal& term, const Terminals::Picker& picker,
         const std::string& option, const std::string& note, const std::string& result,
         const std::string& via, const std::string& why) {
  std::string kind = StateFeed::kind(picker);
  nlohmann::json record = {{"who", who},
             {"via", via},
             {"action", "answer"},
             {"session", term.sessionID},
             {"name", StateFeed::redact(displayName(term))},
             {"tty", term.tty},
             {"kind", kind},
             {"gate", StateFeed::gate(kind, picker)},
             {"question", StateFeed::redact(Text::prefix(picker.question, kLogQuestionChars))},
             {"option", StateFeed::redact(option)},
             {"note", StateFeed::redact(note)},
             {"result", result}};
  if (!why.empty()) record["why"] = StateFeed::redact(why);
  appendLog(std::move(record));
}

void appendLog(nlohmann::json record) {
  record["time"] = TimeText::iso8601(Clock::now());
  std::string line;
  try {
    line = record.dump();  // an object's keys come out sorted
  } catch (const nlohmann::json::exception&) {
    return;
  }
  StateFeed::appendPrivate(line, logFile());
}

}  // namespace Control
