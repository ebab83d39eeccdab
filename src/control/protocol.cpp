// The control protocol's commands and its permission policy: the coordinating session
// may answer routine questions itself; the owner's decisions need his click (a token)
// or his own answer in that session's conversation.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>

#include "base/lang.h"
#include "base/request.h"
#include "base/text.h"
#include "control/control.h"
#include "feed/state_feed.h"
#include "terminals/automation.h"

namespace Control {
namespace {

constexpr int64_t kMinWait = 5;
constexpr int64_t kMaxWait = 600;
constexpr double kPollSeconds = 0.1;

std::mutex hookLock;
AskOrlen askHook;
std::function<void()> cancelHook;

using Request::Args;

nlohmann::json notSent(const std::string& error) {
  return {{"ok", false}, {"result", "not sent"}, {"error", error}};
}

const char* const kTokenRefused = "token invalid, expired, used, or for another question/option";
const char* const kClickRefused =
    "REFUSED: tool-permission prompt — needs --orlen-click <token> from Orlen's click in Velmo "
    "(velmo-q request-click)";
const char* const kOwnerRefused =
    "REFUSED: this question is Orlen's decision (product/money/outward/deploy) — ask him, then "
    "--orlen-relayed, or use request-click";

const char* const kUnsentRefused =
    "not sent: the terminal has unsent text; send it or clear it first";

// The console's authorisation step, run by the gate once the answer fits the question.
Authorize consoleAuthorization(const Args& request, const Terminal& term) {
  std::string token = request.text("token");
  std::string relayFrom = request.text("relayFrom");
  bool relayed = request.flag("relayed");
  return [=](const Terminals::Picker&, const std::string& qid, const std::string& gate,
             const std::string& answer) -> Authorization {
    if (!token.empty()) {
      if (!redeem(token, term.tty, qid, answer)) return {false, "", kTokenRefused};
      return {true, "orlen-relayed", "velmo-click token"};
    }
    if (gate == "orlen-click") return {false, "", kClickRefused};
    if (relayed) {
      auto evidence = relayEvidence(relayFrom, answer, term.sessionID);
      if (!evidence)
        return {false, "",
                "no answer from Orlen naming “" + answer +
                    "” in the console's transcript in the last 30 min"};
      return {true, "orlen-relayed", "console transcript answer " + *evidence};
    }
    if (gate == "orlen") return {false, "", kOwnerRefused};
    return {true, "console", "routine"};
  };
}

std::string sheetDetail(const Terminal& term, const Terminals::Picker& p, const std::string& label,
                        const std::string& kind) {
  std::vector<std::string> paragraphs;
  paragraphs.push_back(Lang::pick("Session: ", "שיחה: ") + displayName(term));
  // The whole body: the owner's click approves what it says.
  if (!p.body.empty()) paragraphs.push_back(Text::join(p.body, "\n"));
  paragraphs.push_back(p.question);
  paragraphs.push_back(Lang::pick("Answer to send: ", "התשובה שתישלח: ") + std::string("“") +
                       label + "”");
  if (kind == "permission" || kind == "plan")
    paragraphs.push_back(
        Lang::pick("This is a tool-permission prompt. Approving here is your approval.",
                   "זו בקשת־הרשאה לכלי. אישור כאן הוא האישור שלך."));
  return StateFeed::redact(Text::join(paragraphs, "\n\n"));
}

// One answer from the approval sheet, which may come after the request gave up waiting.
struct Verdict {
  std::mutex lock;
  std::optional<bool> approved;
};

}  // namespace

void setAskOrlen(AskOrlen hook) {
  std::lock_guard<std::mutex> guard(hookLock);
  askHook = std::move(hook);
}

void setCancelAsk(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(hookLock);
  cancelHook = std::move(hook);
}

nlohmann::json openQuestions() {
  nlohmann::json out = nlohmann::json::array();
  nlohmann::json snap = StateFeed::snapshot(true);
  for (const auto& s : snap["sessions"]) {
    for (auto q : s["questions"]) {
      for (const char* key : {"sessionId", "name", "slot", "status"}) q[key] = s[key];
      out.push_back(std::move(q));
    }
  }
  return out;
}

nlohmann::json answerCommand(const nlohmann::json& request) {
  Args a(request);
  auto term = resolve(a.text("session"));
  if (!term) return notSent("no such session");
  auto index = a.wide("index");
  if (index && *index != 0) return notSent("only question 0 (the one on screen) can be answered");
  return answer(*term, a.text("expect"), a.text("option"), a.text("text"), "velmo-q",
                consoleAuthorization(a, *term));
}

nlohmann::json requestClick(const nlohmann::json& request) {
  Args a(request);
  auto term = resolve(a.text("session"));
  if (!term) return notSent("no such session");
  auto scan = Terminals::pickers(true);
  std::optional<Terminals::Picker> picker;
  for (const auto& p : scan.list)
    if (p.tty == term->tty) {
      picker = p;
      break;
    }
  if (!scan.readable || !Terminals::pickerTTYs().count(term->tty) || !picker)
    return notSent("no open question on that console's screen");
  std::string qid = StateFeed::questionID(*picker);
  std::string expect = a.text("expect");
  if (!expect.empty() && expect != qid) return notSent("question changed");
  auto choice = pickOption(*picker, a.text("option"));
  if (!choice) return notSent("no such option");
  AskOrlen ask;
  std::function<void()> cancel;
  {
    std::lock_guard<std::mutex> guard(hookLock);
    ask = askHook;
    cancel = cancelHook;
  }
  if (!ask) return notSent("Velmo UI not ready");

  std::string kind = StateFeed::kind(*picker);
  std::string title =
      Lang::pick("The central console asks for your approval", "המסוף המרכזי מבקש את אישורך");
  std::string detail = sheetDetail(*term, *picker, choice->label, kind);
  auto wanted = a.wide("timeout");
  int64_t wait = wanted ? std::clamp<int64_t>(*wanted, kMinWait, kMaxWait) : kMaxWait;

  auto verdict = std::make_shared<Verdict>();
  ask(title, detail, [verdict](bool approved) {
    std::lock_guard<std::mutex> guard(verdict->lock);
    if (!verdict->approved) verdict->approved = approved;
  });
  // Polled through the clock so a test's clock decides when the wait is over.
  Clock::Time deadline = Clock::now() + static_cast<double>(wait);
  std::optional<bool> approved;
  while (true) {
    {
      std::lock_guard<std::mutex> guard(verdict->lock);
      approved = verdict->approved;
    }
    if (approved || Clock::now() >= deadline) break;
    Clock::sleep(kPollSeconds);
  }
  if (!approved) {
    {
      // A late click must not count once the request has given up.
      std::lock_guard<std::mutex> guard(verdict->lock);
      verdict->approved = false;
    }
    if (cancel) cancel();
    return notSent("Orlen did not answer within " + std::to_string(wait) +
                   " s — the request was taken down");
  }
  if (!*approved) {
    log("orlen-declined", *term, *picker, choice->label, "", "declined", "velmo-q");
    return notSent("Orlen declined");
  }
  std::string token = mint(term->tty, qid, choice->label);
  if (token.empty()) return notSent("no random numbers for a token");
  return {{"ok", true},
          {"token", token},
          {"id", qid},
          {"option", choice->label},
          {"expiresIn", static_cast<int64_t>(kGrantSeconds)}};
}

nlohmann::json sendCommand(const nlohmann::json& request) {
  Args a(request);
  auto term = resolve(a.text("session"));
  if (!term) return notSent("no such session");
  std::string text = Text::trim(a.text("text"));
  if (text.empty()) return notSent("empty text");
  if (term->windowless) return notSent("background session with no window");
  auto scan = Terminals::pickers(true);
  if (!scan.readable || !Terminals::pickerTTYs().count(term->tty))
    return notSent("not sent: the console's screen cannot be read");
  bool prompt = std::any_of(scan.list.begin(), scan.list.end(),
                            [&](const Terminals::Picker& p) { return p.tty == term->tty; });
  if (prompt || term->status == "waiting")
    return notSent("not sent: that console has an open question — answer it first");
  Terminals::Sent sent = Terminals::send(text, term->tty);
  const char* result = sent.ok ? "sent" : "not sent";
  appendLog({{"who", "console"},
             {"via", "velmo-q"},
             {"action", "send"},
             {"session", term->sessionID},
             {"name", StateFeed::redact(displayName(*term))},
             {"tty", term->tty},
             {"text", StateFeed::redact(text)},
             {"result", result}});
  if (sent.unsent) return notSent(kUnsentRefused);
  if (!sent.ok) return notSent("not sent: " + sent.why);
  return {{"ok", true}, {"result", result}};
}

namespace {

using Request::flag;
using Request::integer;
using Request::text;

// A request the socket takes: its word, its arguments and what answers it.
struct Word {
  const char* cmd;
  std::vector<Request::Arg> args;
  nlohmann::json (*reply)(const nlohmann::json& request);
};

const std::vector<Word>& words() {
  static const std::vector<Word> all = {
      {"ping", {}, [](const nlohmann::json&) -> nlohmann::json {
         return {{"ok", true}, {"pid", static_cast<int64_t>(::getpid())}};
       }},
      {"state", {}, [](const nlohmann::json&) { return StateFeed::snapshot(true); }},
      {"list", {}, [](const nlohmann::json&) -> nlohmann::json {
         return {{"questions", openQuestions()}};
       }},
      {"answer",
       {{"session", text},
        {"option", text, true},
        {"text", text, true},
        {"expect", text, true},
        {"index", integer, true},
        {"token", text, true},
        {"relayed", flag, true},
        {"relayFrom", text, true}},
       answerCommand},
      {"request-click",
       {{"session", text}, {"option", text, true}, {"expect", text, true}, {"timeout", Request::any, true}},
       requestClick},  // a timeout that is not a whole number waits the longest
      {"send", {{"session", text}, {"text", text}}, sendCommand},
  };
  return all;
}

}  // namespace

nlohmann::json handle(const nlohmann::json& request) {
  static const nlohmann::json empty = nlohmann::json::object();
  const nlohmann::json& r = request.is_object() ? request : empty;
  std::string cmd = Request::Args(r).text("cmd");
  for (const Word& w : words()) {
    if (cmd != w.cmd) continue;
    // Checked as the page's messages are; a request that does not fit does nothing.
    if (auto fault = Request::fault(w.args, r)) return notSent(*fault);
    return w.reply(r);
  }
  return {{"ok", false}, {"error", "unknown command"}};
}

}  // namespace Control
