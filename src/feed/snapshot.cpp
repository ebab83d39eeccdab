// The picture of every open terminal that the state file and the control socket give.

#include <algorithm>
#include <cmath>
#include <mutex>

#include "base/settings.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "feed/feed_hooks.h"
#include "feed/state_feed.h"
#include "sessions/models.h"
#include "terminals/discover.h"

namespace StateFeed {
namespace {

constexpr size_t kUnseenChars = 1200;
const char* const kUnseenWhy = "screen not readable — answer in the terminal";

bool permissionLike(const std::string& kind) {
  return kind == "permission" || kind == "plan";
}

std::string statusOf(const Terminal& t, const std::optional<SessionState>& s,
                     const nlohmann::json& questions) {
  if (!questions.empty())
    return permissionLike(questions[0].value("kind", "")) ? "waiting-on-permission"
                                                          : "waiting-on-question";
  if (t.status == "busy" || t.status == "shell") return "busy";
  if (t.status == "idle") return "idle";
  return s && s->mode == SessionState::Mode::working ? "busy" : "idle";
}

std::vector<Terminal> terminals() {
  auto terms = Terminals::cached();
  return terms.empty() ? Terminals::open() : terms;
}

std::string header(const Terminals::Picker& p, const std::optional<PendingQuestion>& pending) {
  if (!pending) return "";
  for (const auto& part : pending->parts)
    if (part.question == p.question) return part.header;
  return "";
}

}  // namespace

nlohmann::json describe(const Terminals::Picker& p, int index,
                        const std::optional<PendingQuestion>& pending) {
  std::string k = kind(p);
  nlohmann::json options = nlohmann::json::array();
  for (const auto& o : p.options)
    options.push_back({{"label", redact(o.label)},
                       {"description", redact(o.detail)},
                       {"checked", p.checked.count(o.n) > 0}});
  nlohmann::json item = {
      {"index", index},
      {"id", questionID(p)},
      {"kind", k},
      {"form", permissionLike(k) ? "tool-permission" : "AskUserQuestion"},
      {"gate", gate(k, p)},
      {"header", redact(header(p, pending))},
      {"question", redact(p.question)},
      {"body", redact(Text::join(p.body, "\n"))},
      {"multiSelect", p.multi},
      {"cursor", p.cursor},
      {"freeText", p.freeRow},
      {"options", std::move(options)},
      {"context", redact(p.context)},
      {"answerable", true},
  };
  if (k == "ask" && pending && pending->kind != "plan") item["parts"] = parts(*pending);
  return item;
}

nlohmann::json describeUnseen(const PendingQuestion& q, int index) {
  bool plan = q.kind == "plan";
  nlohmann::json item = {
      {"index", index},
      {"id", q.toolID},
      {"kind", plan ? "plan" : "ask"},
      {"form", plan ? "tool-permission" : "AskUserQuestion"},
      {"gate", plan ? "orlen-click" : "orlen"},
      {"context", redact(Text::prefix(q.context, kUnseenChars))},
      {"answerable", false},
      {"why", kUnseenWhy},
  };
  if (plan) {
    item["question"] = "Approve the plan?";
    item["plan"] = redact(q.plan);  // whole: it is what an approval approves
  } else {
    item["parts"] = parts(q);
    item["header"] = q.parts.empty() ? "" : redact(q.parts[0].header);
    item["question"] = q.parts.empty() ? "" : redact(q.parts[0].question);
  }
  return item;
}

nlohmann::json entry(const Terminal& t, const EntryInputs& in) {
  const auto& s = in.state;
  nlohmann::json e = {
      {"sessionId", t.sessionID},
      {"name", redact(!in.userName.empty() ? in.userName
                      : s                  ? s->title
                                           : "")},
      {"cwd", s ? s->cwd : ""},
      {"pid", t.pid},
      {"tty", t.tty},
      {"slot", t.slot},
      {"windowId", in.windowId ? nlohmann::json(*in.windowId) : nlohmann::json(nullptr)},
      {"windowless", t.windowless},
      {"screenVisible", in.screenVisible},
      {"recordStatus", t.status},
      {"sessionSource", !t.status.empty() || !t.recordName.empty() ? "record" : "tty-registry"},
      {"model", s ? s->model : ""},
      {"agentsRunning", s ? s->agentsRunning : 0},
      {"lastTurn", s ? redact(s->snippet) : ""},
  };
  if (s && s->lastEvent > Clock::kDistantPast) e["lastEvent"] = TimeText::iso8601(s->lastEvent);
  if (s && s->contextTokens >= 1) {
    double window = in.relayWindow >= 1
                        ? static_cast<double>(in.relayWindow)
                        : static_cast<double>(Models::window(s->modelID, t.modelArg, s->contextTokens));
    e["contextTokens"] = s->contextTokens;
    e["contextFill"] = std::floor(static_cast<double>(s->contextTokens) / window * 1000) / 1000;
  }
  nlohmann::json questions = nlohmann::json::array();
  if (in.screenVisible && in.picker)
    questions.push_back(describe(*in.picker, 0, in.pending));
  else if (!in.screenVisible && in.pending)
    questions.push_back(describeUnseen(*in.pending, 0));
  e["status"] = statusOf(t, s, questions);
  e["questions"] = std::move(questions);
  return e;
}

nlohmann::json snapshot(bool fresh) {
  Terminals::PickerScan scan = fresh ? Terminals::pickers(true) : Terminals::lastPickers();
  auto ttys = Terminals::pickerTTYs();
  auto windows = Terminals::windowIDs();
  auto names = UserNames::all();
  auto window = static_cast<int64_t>(Settings::number("relayWindow", 0));
  nlohmann::json sessions = nlohmann::json::array();
  for (const auto& t : terminals()) {
    EntryInputs in;
    if (!t.sessionID.empty()) {
      in.state = Sessions::state(t.sessionID);
      auto name = names.find(t.sessionID);
      if (name != names.end()) in.userName = name->second;
    }
    auto w = windows.find(t.tty);
    if (w != windows.end()) in.windowId = w->second;
    in.screenVisible = scan.readable && ttys.count(t.tty) > 0;
    auto p = std::find_if(scan.list.begin(), scan.list.end(),
                          [&](const Terminals::Picker& x) { return x.tty == t.tty; });
    if (p != scan.list.end()) in.picker = *p;
    // The transcript is read only where it adds something: the parts of a question on
    // screen, or the question itself when the screen cannot be seen.
    bool wanted = in.screenVisible ? in.picker && kind(*in.picker) == "ask" : true;
    if (wanted && !t.sessionID.empty()) in.pending = Questions::pending(t.sessionID);
    in.relayWindow = window;
    sessions.push_back(entry(t, in));
  }
  return {
      {"version", 1},
      {"updatedAt", TimeText::iso8601(Clock::now())},
      {"screenReadable", scan.readable},
      {"notifications",
       {{"on", Settings::flag("notifyOn")},
        {"minWaitSeconds", static_cast<int64_t>(Settings::number("notifyMinWait", 0))},
        {"macOS", authorizationText()}}},
      {"sessions", std::move(sessions)},
  };
}

std::string cheapSignature() {
  auto terms = terminals();
  auto scan = Terminals::lastPickers();
  std::vector<std::string> parts = {scan.readable ? "R" : "U"};
  for (const auto& t : terms)
    parts.push_back(
        Text::join({t.tty, t.sessionID, t.status, t.recordName, t.windowless ? "w" : ""}, ","));
  for (const auto& p : scan.list) {
    std::vector<long long> ticked;
    for (const auto& n : p.checked) {
      long long v = 0;
      if (Text::parseInt(n, v)) ticked.push_back(v);
    }
    std::sort(ticked.begin(), ticked.end());
    std::string marks;
    for (auto v : ticked) marks += std::to_string(v);
    parts.push_back(p.tty + "#" + Terminals::signature(p) + "#" + std::to_string(p.cursor) + "#" +
                    marks);
  }
  // The notification settings are shown in the file too, so switching them must rewrite it.
  parts.push_back(std::string(Settings::flag("notifyOn") ? "n1" : "n0") + "," +
                  std::to_string(static_cast<int64_t>(Settings::number("notifyMinWait", 0))) + "," +
                  authorizationText());
  return Text::join(parts, "|");
}

}  // namespace StateFeed
