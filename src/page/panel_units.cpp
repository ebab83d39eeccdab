#include <algorithm>

#include "base/json_field.h"
#include "base/lang.h"
#include "base/settings.h"
#include "base/text.h"
#include "feed/state_feed.h"
#include "page/muted.h"
#include "page/panel.h"
#include "relay/relay.h"
#include "spend/account.h"
#include "terminals/discover.h"

// The rack rows and the question payloads: what every open terminal is doing and asking.
namespace Panel {
namespace {

using nlohmann::json;

std::string pick(const char* english, const char* hebrew) {
  return Lang::pick(english, hebrew);
}

// A session without any event carries the distant past; for display that is no time at all.
std::optional<Clock::Time> eventOf(const std::optional<SessionState>& s) {
  if (!s || s->lastEvent <= Clock::kDistantPast) return std::nullopt;
  return s->lastEvent;
}

std::optional<SessionState> stateOf(const Terminal& t) {
  if (t.sessionID.empty()) return std::nullopt;
  return Sessions::state(t.sessionID);
}

json part(const std::string& question, const std::string& header, bool multi, int free,
          json choices) {
  return {{"question", question},
          {"header", header},
          {"multi", multi},
          {"free", free},
          {"choices", std::move(choices)}};
}

json choice(const std::string& n, const std::string& labelText, const std::string& detail) {
  return {{"label", labelText}, {"detail", detail}, {"n", n}};
}

// Everything one build reads once for all terminals.
struct Readings {
  Terminals::PickerScan scan;
  std::set<std::string> screened;
};

Readings read() {
  return {Terminals::pickers(false), Terminals::pickerTTYs()};
}

std::optional<json> liveAskOf(const Terminal& t, const Readings& r) {
  return liveAsk(t, r.scan, r.screened, Questions::pending(t.sessionID));
}

// The user's names feed the rest once that store exists; until then the name stays empty.
RowExtras extrasFor(const Terminal& t, const std::optional<SessionState>& s, const Readings& r,
                    const std::vector<Terminal>& terminals) {
  RowExtras extras;
  extras.ask = liveAskOf(t, r);
  extras.name = UserNames::of(t.sessionID);
  if (!t.sessionID.empty()) {
    Spend::Share spent = Spend::session(t.sessionID);
    extras.share = spent.share;
    extras.output = spent.output;
    extras.chain = Relay::label(t.sessionID, terminals).value_or("");
    extras.relay = Relay::stage(t.sessionID).value_or("");
    if (!extras.relay.empty()) {
      extras.relayAgents = Relay::agents(t.sessionID);
      extras.relayShell = Relay::shellOut(t.sessionID);
    }
  }
  if (s && s->contextTokens >= 1)
    extras.ctxLevel = Relay::level(s->contextTokens, s->modelID, t.modelArg);
  return extras;
}

}  // namespace

const char* stateWord(SessionState::Mode mode) {
  switch (mode) {
    case SessionState::Mode::working:
      return "run";
    case SessionState::Mode::waiting:
      return "wait";
    case SessionState::Mode::quiet:
      break;
  }
  return "quiet";
}

// ---- Questions ----

json askPayload(const PendingQuestion& q, const std::string& tty) {
  bool plan = q.kind == "plan";
  std::optional<Clock::Time> asked;
  if (q.since > Clock::kDistantPast) asked = q.since;
  json out = {{"id", q.toolID}, {"sid", q.sid},           {"tty", tty},
              {"kind", q.kind}, {"since", age(asked, 0)}, {"context", q.context}};
  json parts = json::array();
  if (plan) {
    out["head"] = pick("Plan approval", "אישור תוכנית");
    out["plan"] = q.plan;
    parts.push_back(part(
        pick("Approve the plan and start building?", "לאשר את התוכנית ולהתחיל לבנות?"),
        pick("plan", "תוכנית"), false, 0,
        json::array({choice("1", pick("Yes, start", "כן, תתחיל"), ""),
                     choice("2", pick("No, let us talk about it", "לא, בוא נדבר על זה"), "")})));
  } else {
    bool headed = !q.parts.empty() && !q.parts[0].header.empty();
    out["head"] = headed ? q.parts[0].header : pick("question", "שאלה");
    for (const auto& p : q.parts) {
      json choices = json::array();
      for (size_t i = 0; i < p.choices.size(); ++i)
        choices.push_back(choice(std::to_string(i + 1), p.choices[i].label, p.choices[i].detail));
      // The agent always offers a typed answer on the row after the last choice.
      int free = p.choices.empty() ? 0 : static_cast<int>(p.choices.size()) + 1;
      parts.push_back(part(p.question, p.header, p.multi, free, std::move(choices)));
    }
  }
  out["parts"] = std::move(parts);
  return out;
}

json screenAsk(const Terminals::Picker& p, const std::string& tty) {
  json choices = json::array();
  for (const auto& o : p.options) choices.push_back(choice(o.n, o.label, o.detail));
  std::string question = p.question.empty()
                             ? pick("A question is open in the terminal", "שאלה פתוחה במסוף")
                             : p.question;
  return {
      {"id", ""},
      {"sid", ""},
      {"since", ""},
      {"tty", tty},
      {"kind", "ask"},
      {"unwritten", true},
      {"context", p.context},
      {"head", pick("asking you", "שואל אותך")},
      {"freeRow", p.freeRow},
      {"parts",
       json::array({part(question, pick("question", "שאלה"), p.multi, 0, std::move(choices))})}};
}

namespace {

// What a permission or plan prompt shows above its options (the command, the file and its
// changed lines, the address, the plan), line by line as the screen has it: the card shows
// it so the owner sees what a "Yes" approves.
json withBody(json ask, const Terminals::Picker& p) {
  if (!p.body.empty()) ask["body"] = p.body;
  return ask;
}

}  // namespace

std::optional<json> resolveAsk(const Terminal& t, const Terminals::PickerScan& scan,
                               const std::set<std::string>& screened,
                               const std::optional<PendingQuestion>& q) {
  bool clear = false;
  if (scan.readable && !t.tty.empty() && screened.count(t.tty)) {
    auto p = std::find_if(scan.list.begin(), scan.list.end(),
                          [&](const Terminals::Picker& x) { return x.tty == t.tty; });
    if (p != scan.list.end()) {
      // The screen cuts long questions, so the log's question is matched by its start.
      bool logged = q && q->kind == "ask" && !q->parts.empty() && !p->question.empty() &&
                    Text::startsWith(q->parts[0].question, Text::prefix(p->question, 30));
      // A plan approval is answered by the rows the screen shows, under the plan's name.
      // The question on screen by its id: an answer from this card is for it alone.
      const std::string expect = StateFeed::questionID(*p);
      const std::string kind = StateFeed::kind(*p);
      if (kind == "plan") {
        json out = withBody(screenAsk(*p, t.tty), *p);
        out["kind"] = "plan";
        out["head"] = pick("Plan approval", "אישור תוכנית");
        if (q && q->kind == "plan") out["plan"] = q->plan;
        out["expect"] = expect;
        return out;
      }
      if (!logged) {
        json out = kind == "permission" ? withBody(screenAsk(*p, t.tty), *p) : screenAsk(*p, t.tty);
        out["expect"] = expect;
        return out;
      }
      json out = askPayload(*q, t.tty);
      if (out["context"].get<std::string>().empty()) out["context"] = p->context;
      out["freeRow"] = p->freeRow;
      out["expect"] = expect;
      return out;
    }
    clear = true;
  }
  if (!t.waiting.has_value()) {
    if (clear || !q) return std::nullopt;
    return askPayload(*q, t.tty);
  }
  if (*t.waiting) {
    if (clear || !q) return screenAsk(Terminals::Picker{}, t.tty);
    return askPayload(*q, t.tty);
  }
  return std::nullopt;
}

std::optional<json> resolveAsk(const Terminal& t) {
  Readings r = read();
  return resolveAsk(t, r.scan, r.screened, Questions::pending(t.sessionID));
}

std::optional<json> liveAsk(const Terminal& t, const Terminals::PickerScan& scan,
                            const std::set<std::string>& screened,
                            const std::optional<PendingQuestion>& question) {
  auto ask = resolveAsk(t, scan, screened, question);
  if (!ask) return std::nullopt;
  if (t.windowless) (*ask)["windowless"] = true;
  // File paths named in the context become file cards; none are found until the document
  // readers exist.
  (*ask)["paths"] = json::array();
  return ask;
}

std::optional<json> liveAsk(const Terminal& t) {
  Readings r = read();
  return liveAskOf(t, r);
}

std::string firstQuestion(const std::optional<json>& ask) {
  if (!ask) return "";
  auto parts = ask->find("parts");
  if (parts == ask->end() || !parts->is_array() || parts->empty()) return "";
  return JsonField::text((*parts)[0], "question");
}

bool muted(const Terminal& t, std::optional<Clock::Time> lastEvent,
           const std::optional<json>& ask) {
  return Muted::is(t.sessionID, Muted::stamp(lastEvent, firstQuestion(ask)));
}

// ---- Rack rows ----

Unit unitRow(const Terminal& t, const std::optional<SessionState>& s, const RowExtras& extras) {
  auto mode = s ? s->mode : SessionState::Mode::quiet;
  auto event = eventOf(s);
  Unit row;
  row.tty = t.tty;
  row.sid = t.sessionID;
  row.slot = t.slot;
  row.state = stateWord(mode);
  row.stateLabel = label(mode);
  row.title = title(t, s, extras.name);
  row.say = say(mode, s);
  row.path = s && !s->cwd.empty() ? homePath(s->cwd) : "";
  row.age = age(event, t.uptime);
  row.model = s ? s->model : "";
  row.agents = s ? s->agentsRunning : 0;
  row.chain = extras.chain;
  row.relay = extras.relay;
  row.relayAgents = extras.relay.empty() ? 0 : extras.relayAgents;
  row.relayShell = extras.relay.empty() ? false : extras.relayShell;
  row.share = extras.share;
  row.output = extras.output;
  row.moved = event;

  if (extras.ask) {
    row.ask = extras.ask;
    row.state = "ask";
    row.stateLabel = extras.ask->value("kind", "") == "plan" ? pick("wants approval", "מבקש אישור")
                                                             : pick("asking you", "שואל אותך");
  }
  if (t.windowless) {
    row.windowless = true;
    row.say = pick("Running in the background with no window. \"To window\" opens one.",
                   "רץ ברקע, בלי חלון. ״לחלון״ פותח לו חלון.");
  }
  // A prompt on its screen proves the process alive, so only a silent one is called stuck.
  if (!t.waiting.has_value() && t.sessionID.empty() && !extras.ask) {
    row.state = "quiet";
    row.stateLabel = pick("not responding", "לא מגיב");
    row.say = pick("Claude Code keeps no record of this process. It is probably stuck or gone.",
                   "אין לקלוד־קוד רישום של התהליך הזה. כנראה נתקע או נסגר.");
  }

  row.stamp = Muted::stamp(event, firstQuestion(extras.ask));
  row.muted = Muted::is(t.sessionID, row.stamp);

  if (s && s->contextTokens >= 1) {
    row.context = tokens(s->contextTokens);
    row.full = static_cast<double>(s->contextTokens) /
               Relay::window(s->modelID, t.modelArg, s->contextTokens);
    row.ctxLevel = extras.ctxLevel;
  }
  return row;
}

void to_json(json& out, const Unit& u) {
  out = {{"tty", u.tty},
         {"sid", u.sid},
         {"slot", u.slot},
         {"state", u.state},
         {"stateLabel", u.stateLabel},
         {"title", u.title},
         {"say", u.say},
         {"path", u.path},
         {"age", u.age},
         {"model", u.model},
         {"agents", u.agents},
         {"chain", u.chain},
         {"relay", u.relay},
         {"relayAgents", u.relayAgents},
         {"relayShell", u.relayShell},
         {"share", u.share},
         {"output", u.output},
         {"stamp", u.stamp},
         {"context", u.context}};
  // The page tells a row without any event by its integer moment.
  out["moved"] = u.moved ? json(*u.moved) : json(0);
  out["full"] = u.full ? json(*u.full) : json(0);
  if (u.ask) out["ask"] = *u.ask;
  if (u.windowless) out["windowless"] = true;
  if (u.muted) out["muted"] = true;
  if (u.ctxLevel) out["ctxLevel"] = *u.ctxLevel;
}

void sortUnits(std::vector<Unit>& rows) {
  auto group = [](const Unit& r) { return r.muted ? std::string("muted") : r.state; };
  std::stable_sort(rows.begin(), rows.end(), [&](const Unit& a, const Unit& b) {
    int ra = rank(group(a)), rb = rank(group(b));
    if (ra != rb) return ra < rb;
    double ma = a.moved.value_or(0), mb = b.moved.value_or(0);
    if (ma != mb) return ma > mb;
    return a.slot < b.slot;
  });
}

std::vector<Unit> units() {
  Readings r = read();
  std::vector<Unit> rows;
  auto terminals = Terminals::open();
  for (const auto& t : terminals) {
    auto s = stateOf(t);
    rows.push_back(unitRow(t, s, extrasFor(t, s, r, terminals)));
  }
  sortUnits(rows);
  return rows;
}

json alerts(const std::string& excludingSessionID) {
  Readings r = read();
  json out = json::array();
  for (const auto& t : Terminals::open()) {
    if (t.sessionID == excludingSessionID) continue;
    auto ask = liveAskOf(t, r);
    if (!ask || muted(t, eventOf(stateOf(t)), ask)) continue;
    const json& first = (*ask)["parts"].empty() ? json::object() : (*ask)["parts"][0];
    std::string header = first.value("header", "");
    bool unwritten = ask->value("unwritten", false);
    std::string question = ask->value("kind", "") == "plan"
                               ? pick("asking to approve a plan", "מבקש אישור לתוכנית")
                               : first.value("question", "");
    out.push_back({{"sid", t.sessionID},
                   {"tty", t.tty},
                   {"slot", t.slot},
                   {"head", !header.empty() && !unwritten ? header : ask->value("head", "")},
                   {"question", question}});
  }
  return out;
}

json liveAsks() {
  Readings r = read();
  json out = json::array();
  for (const auto& t : Terminals::open()) {
    auto ask = liveAskOf(t, r);
    if (!ask) continue;
    auto s = stateOf(t);
    if (muted(t, eventOf(s), ask)) continue;
    (*ask)["slot"] = t.slot;
    (*ask)["title"] = title(t, s);
    (*ask)["path"] = s ? homePath(s->cwd) : "";
    out.push_back(std::move(*ask));
  }
  return out;
}

}  // namespace Panel
