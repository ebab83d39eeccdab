// The relay's pass: how full each conversation is, when a terminal is calm enough to type
// into, asking for the hand-off, and carrying the work on into a fresh conversation.

#include "relay/relay.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/text.h"
#include "relay/relay_state.h"
#include "sessions/models.h"
#include "sessions/state.h"
#include "terminals/automation.h"
#include "terminals/discover.h"
#include "terminals/names.h"
#include "terminals/picker.h"

namespace Relay {
namespace {

constexpr double kTickSeconds = 10;
constexpr double kCalmSeconds = 45;
constexpr double kAskedSeconds = 1200;
constexpr int64_t kReadyBytes = 301;
constexpr double kSettledSeconds = 20;
constexpr double kStaleSeconds = 300;
constexpr int kIdPolls = 25;
constexpr double kIdPollSeconds = 0.6;
constexpr Clock::Time kDistantFuture = 64092211200.0;

std::string sid8(const std::string& sid) {
  return sid.substr(0, 8);
}

// Which of the needles occur in the file, read in pieces so a long transcript is never held
// whole.
std::set<std::string> foundIn(const std::string& path, const std::vector<std::string>& needles) {
  std::set<std::string> found;
  if (needles.empty()) return found;
  auto attrs = Files::attributes(path);
  if (!attrs || !attrs->regular) return found;
  std::ifstream in(path, std::ios::binary);
  size_t longest = 0;
  for (const auto& n : needles) longest = std::max(longest, n.size());
  std::string carry, piece(1 << 20, '\0');
  while (in && found.size() < needles.size()) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    std::streamsize got = in.gcount();
    if (got <= 0) break;
    std::string window = carry + piece.substr(0, static_cast<size_t>(got));
    for (const auto& n : needles)
      if (!found.count(n) && window.find(n) != std::string::npos) found.insert(n);
    size_t keep = std::min(window.size(), longest);
    carry = window.substr(window.size() - keep);
  }
  return found;
}

bool transcriptHas(const std::string& sid, const std::string& needle) {
  auto path = Sessions::transcriptURL(sid);
  return path && !needle.empty() && foundIn(*path, {needle}).count(needle);
}

const Terminal* running(const std::string& sid, const std::vector<Terminal>& terminals) {
  if (sid.empty()) return nullptr;
  for (const auto& t : terminals)
    if (t.sessionID == sid) return &t;
  return nullptr;
}

std::string slotOrClosed(const std::string& sid, const std::vector<Terminal>& terminals) {
  const Terminal* t = running(sid, terminals);
  return t && !t->slot.empty() ? t->slot : Lang::pick("closed", "סגור");
}

// The continuation reached the new conversation: the record is done and the day counts it.
void finish(const std::string& sid, const std::string& newSid, const Terminal& t) {
  std::optional<Record> done;
  change(sid, [&](std::optional<Record>& r) {
    if (!r) return false;
    r->stage = "continued";
    r->next = newSid;
    r->at = Clock::now();
    done = *r;
    return true;
  });
  if (!done) return;
  countReset(done->name.empty() ? sid8(sid) : done->name);
  if (done->automatic.value_or(false)) log("AUTO-CONTINUE done " + t.tty + " → " + sid8(newSid));
}

// Clears, names and prompts; each step is written to the record as it happens, so that a
// conversation is never cleared twice.
void carryOn(const std::string& sid, Record r, const Terminal& t,
             const std::vector<Terminal>& terminals) {
  auto newSid = clear(sid, t, terminals);
  if (!newSid) {
    log("CONTINUE no new conversation " + t.tty + " " + sid8(sid) + " — back to ready");
    change(sid, [](std::optional<Record>& now) {
      if (!now || now->stage != "go" || now->next) return false;
      now->stage = "ready";
      return true;
    });
    return;
  }
  r.next = *newSid;
  change(sid, [&](std::optional<Record>& now) {
    if (!now) now = r;
    now->next = *newSid;
    return true;
  });
  if (Terminals::Sent sent = introduce(sid, r, *newSid, t, terminals)) {
    finish(sid, *newSid, t);
  } else {
    log("CONTINUE prompt not typed " + t.tty + " " + sid8(*newSid) + " — " + sent.why +
        "; it is typed again on a calm moment");
  }
}

// A conversation cleared for the hand-off whose continuation prompt did not go through:
// type it again into the terminal that now runs the new conversation, unless it arrived.
void retryPrompt(const Record& r, const std::string& sid, const std::vector<Terminal>& terminals) {
  const Terminal* t = running(*r.next, terminals);
  if (!t || t->windowless) return;
  if (transcriptHas(*r.next, r.file)) {
    finish(sid, *r.next, *t);
    return;
  }
  if (!calm(*t)) return;
  if (Terminals::Sent sent = Terminals::send(continuationText(sid, r), t->tty, terminals); !sent) {
    log("CONTINUE prompt not typed " + t->tty + " " + sid8(*r.next) + " — " + sent.why +
        "; tried again");
    return;
  }
  finish(sid, *r.next, *t);
}

// A new record for a session that had none; one written meanwhile is kept.
void begin(const std::string& sid, const Record& r) {
  change(sid, [&](std::optional<Record>& now) {
    if (now) return false;
    now = r;
    return true;
  });
}

// Asks one terminal's conversation for its hand-off when it is over the threshold.
void ask(const Terminal& t, const std::vector<Terminal>& terminals, bool primed) {
  const std::string& sid = t.sessionID;
  auto s = Sessions::state(sid);
  if (!s) return;
  if (level(s->contextTokens, s->modelID, t.modelArg) != "ask") return;
  std::string onlyCwd = Settings::text("relayOnlyCwd");
  if (!onlyCwd.empty() && !Text::startsWith(s->cwd, onlyCwd)) return;
  Clock::Time now = Clock::now();
  if (!primed) {
    Record r;
    r.stage = "baseline";
    r.cwd = s->cwd;
    r.at = now;
    begin(sid, r);
    return;
  }
  if (!calm(t)) return;
  int64_t pct = static_cast<int64_t>(static_cast<double>(s->contextTokens) /
                                     window(s->modelID, t.modelArg, s->contextTokens) * 100);
  std::string path = handoffPath(sid);
  Terminals::Sent sent = Terminals::send(requestText(pct, path), t.tty, terminals);
  if (!sent) {
    // No record: the next calm tick asks again. Said once per session, not every tick.
    bool first;
    {
      std::lock_guard<std::mutex> guard(lock());
      first = state().askFailed.insert(sid).second;
    }
    if (first)
      log("HAND-OFF request not typed " + t.tty + " " + sid8(sid) +
          " — " + sent.why + "; asked again on a calm moment");
    return;
  }
  {
    std::lock_guard<std::mutex> guard(lock());
    state().askFailed.erase(sid);
  }
  Record r;
  r.stage = "asked";
  r.file = path;
  r.cwd = s->cwd;
  std::string name = Names::name(sid);
  r.name = !name.empty() ? name : !s->title.empty() ? s->title : s->project;
  r.at = now;
  r.pct = pct;
  begin(sid, r);
}

// One terminal that has a record, as the pass read it. A change worked out here is written
// only while the disk still holds that reading; otherwise the next pass sees the new one.
void step(const Record& read, const std::string& sid, const Terminal& t,
          const std::vector<Terminal>& terminals) {
  Record r = read;
  Clock::Time now = Clock::now();
  if (r.stage == "asked" || r.stage == "failed") {
    if (ready(r.file)) {
      r.stage = "ready";
    } else if (r.stage == "asked" && now - r.at > kAskedSeconds) {
      r.stage = "failed";
    } else {
      return;
    }
    replace(sid, read, r);
    return;
  }
  if (r.stage == "ready") {
    if (!Settings::flag("relayAutoContinue") || !calm(t)) return;
    if (official(t.pid).first != "idle" || agents(sid) != 0) return;
    if (auto reason = staleHandoff(sid, r.file)) {
      if (r.automatic == std::optional<bool>(false)) return;
      r.automatic = false;
      if (replace(sid, read, r))
        log("AUTO-CONTINUE skipped " + t.tty + " " + sid8(sid) + " — " + *reason);
      return;
    }
    r.automatic = true;
    r.stage = "go";
    r.at = now;
    if (!replace(sid, read, r)) return;
    log("AUTO-CONTINUE " + t.tty + " " + sid8(sid) + " " + r.name + " — hand-off " + r.file);
  }
  if (r.stage == "go" && !r.next) {
    if (!calm(t)) return;
    carryOn(sid, r, t, terminals);
  }
}

}  // namespace

// ---- readings ----

double window(std::string_view model, std::string_view chosen, int64_t tokens) {
  double w = Settings::number("relayWindow", 0);
  return w >= 1 ? w : static_cast<double>(Models::window(model, chosen, tokens));
}

int threshold() {
  double t = Settings::number("relayAskPct", 0);
  for (int c : kChoices)
    if (t == c) return c;
  return 75;
}

std::string level(int64_t tokens, std::string_view model, std::string_view chosen) {
  double pct = static_cast<double>(tokens) / window(model, chosen, tokens) * 100;
  int t = threshold();
  if (pct >= t) return "ask";
  if (pct >= t - 5) return "warn";
  return "";
}

std::pair<std::string, Clock::Time> official(int64_t pid) {
  auto doc = Terminals::registryObject(Paths::agent("sessions/" + std::to_string(pid) + ".json"));
  if (!doc) return {"", kDistantFuture};
  auto st = doc->find("status");
  if (st == doc->end() || !st->is_string()) return {"", kDistantFuture};
  for (const char* key : {"statusUpdatedAt", "updatedAt"}) {
    auto at = doc->find(key);
    if (at != doc->end() && at->is_number())
      return {st->get<std::string>(), at->get<double>() / 1000};
  }
  return {st->get<std::string>(), kDistantFuture};
}

bool calm(const Terminal& t) {
  auto [st, since] = official(t.pid);
  if (st != "idle" && st != "shell") return false;
  if (Clock::now() - since <= kCalmSeconds) return false;
  if (t.waiting == std::optional<bool>(true)) return false;
  for (const auto& p : Terminals::pickers(false).list)
    if (p.tty == t.tty) return false;
  return true;
}

int64_t agents(const std::string& sid) {
  auto transcript = Sessions::transcriptURL(sid);
  if (!transcript) return 0;
  std::string folder = *transcript;
  if (Text::endsWith(folder, ".jsonl")) folder.resize(folder.size() - 6);
  auto entries = Files::list(folder + "/subagents");
  if (!entries) return 0;
  std::vector<std::string> markers;
  for (const auto& e : *entries) {
    if (!Text::endsWith(e.name, ".meta.json")) continue;
    auto text = Files::read(e.path, 1 << 20);
    if (!text) continue;
    auto meta = nlohmann::json::parse(*text, nullptr, false);
    // Compared as JSON, so a meta file whose field is not a string is passed over, not thrown on.
    if (!meta.is_object() || meta.value("requestShape", nlohmann::json()) != "background") continue;
    std::string id = e.name.substr(0, e.name.size() - 10);
    if (Text::startsWith(id, "agent-")) id = id.substr(6);
    markers.push_back("<task-id>" + id + "</task-id>");
  }
  auto done = foundIn(*transcript, markers);
  return static_cast<int64_t>(markers.size() - done.size());
}

bool shellOut(const std::string& sid) {
  auto terminals = Terminals::open();
  const Terminal* t = running(sid, terminals);
  return t && official(t->pid).first == "shell";
}

bool ready(const std::string& file) {
  if (file.empty()) return false;
  auto attrs = Files::attributes(file);
  return attrs && attrs->regular && attrs->size >= kReadyBytes &&
         Clock::now() - attrs->modified > kSettledSeconds;
}

std::optional<std::string> staleHandoff(const std::string& sid, const std::string& file) {
  auto handoff = Files::attributes(file);
  if (file.empty() || !handoff) return std::string("hand-off file missing");
  auto transcript = Sessions::transcriptURL(sid);
  if (!transcript) return std::nullopt;
  auto moved = Files::attributes(*transcript);
  if (moved && moved->modified - handoff->modified > kStaleSeconds)
    return std::string("the conversation went on after the hand-off was written");
  return std::nullopt;
}

std::string handoffPath(const std::string& sid) {
  std::string folder = Paths::documents() + "/handoffs";
  Files::makeDirectories(folder);
  return folder + "/" + localDate(Clock::now(), "%Y-%m-%d-%H%M") + "-" + sid8(sid) + ".md";
}

std::string requestText(int64_t pct, const std::string& path) {
  return "Velmo: this conversation's context window is " + std::to_string(pct) + "% full. " +
         "Stop starting new work. Write your hand-off now to " + path +
         " — the goal, the current state, "
         "what is done and verified, every open item with its exact next step, key paths, "
         "commands, decisions and warnings — so a fresh conversation can continue with no other "
         "context. List every background agent that is still running — its task, its agent id "
         "and its output file path — so the next conversation can pick up their results. "
         "Register every open item in the task queue as well. Then reply with one short line. "
         "Velmo will offer Orlen one click to continue in a new conversation from that file.";
}

std::string continuationText(const std::string& sid, const Record& record) {
  std::string pctText = std::to_string(record.pct ? *record.pct : threshold()) + "%";
  auto transcript = Sessions::transcriptURL(sid);
  return "Continue the work of conversation " + sid + ", which was handed over at " + pctText +
         " context. Read the hand-off first: " + record.file +
         " — then carry on with its open items. The old transcript, if a detail is missing: " +
         (transcript ? *transcript : std::string("(not found)"));
}

std::string continuedName(const std::string& base) {
  std::string name = base.empty() ? Lang::pick("conversation", "שיחה") : base;
  std::string suffix = Lang::pick(" · cont.", " · המשך");
  return Text::endsWith(name, suffix) ? name : name + suffix;
}

std::optional<std::string> label(const std::string& sid, const std::vector<Terminal>& terminals) {
  if (sid.empty()) return std::nullopt;
  Store store = all();
  auto own = store.find(sid);
  if (own != store.end()) {
    const Record& r = own->second;
    if (r.stage == "asked")
      return std::string(Lang::pick("writing a hand-off", "כותב מסירה להמשך"));
    if (r.stage == "ready") return std::string(Lang::pick("hand-off ready", "המסירה מוכנה"));
    if (r.stage == "go")
      return std::string(Lang::pick("moving to a new conversation…", "עובר לשיחה חדשה…"));
    if (r.stage == "spawned" || r.stage == "kept")
      return Lang::pick("continued in ", "הועבר ל־") + slotOrClosed(r.next.value_or(""), terminals);
    if (r.stage == "continued" && r.automatic.value_or(false))
      return std::string(Lang::pick("continued automatically", "הומשך אוטומטית"));
    if (r.stage == "failed")
      return std::string(Lang::pick("hand-off not written", "המסירה לא נכתבה"));
  }
  for (const auto& [prevSid, r] : store) {
    if (r.next != sid) continue;
    if (r.stage != "continued")
      return Lang::pick("continues ", "המשך של ") + slotOrClosed(prevSid, terminals);
    if (r.automatic.value_or(false))
      return std::string(Lang::pick("continued automatically", "הומשך אוטומטית"));
    return std::string(Lang::pick("continues an earlier conversation", "המשך משיחה קודמת"));
  }
  return std::nullopt;
}

// ---- acting ----

std::optional<std::string> clear(const std::string& sid, const Terminal& t,
                                 const std::vector<Terminal>& terminals) {
  Terminals::Sent sent = Terminals::send("/clear", t.tty, terminals);
  // A refused send typed nothing, so no new conversation can come of it.
  if (!sent.typed) {
    log("CLEAR not typed " + t.tty + " " + sid8(sid) + " — " + sent.why);
    return std::nullopt;
  }
  for (int i = 0; i < kIdPolls; ++i) {
    std::string id = Terminals::registryField(t.pid, "sessionId");
    if (!id.empty() && id != sid) return id;
    Clock::sleep(kIdPollSeconds);
  }
  return std::nullopt;
}

Terminals::Sent introduce(const std::string& sid, const Record& record, const std::string& newSid,
                          const Terminal& t, const std::vector<Terminal>& terminals) {
  std::string name = continuedName(record.name);
  Names::set(name, newSid);
  Terminals::setWindowTitle(name, t.tty);
  Terminals::send("/rename " + name, t.tty, terminals);
  Clock::sleep(1);
  return Terminals::send(continuationText(sid, record), t.tty, terminals);
}

void tick(const std::vector<Terminal>& terminals) {
  if (!Settings::flag("relayOn")) return;
  Clock::Time now = Clock::now();
  {
    std::lock_guard<std::mutex> guard(lock());
    if (now - state().lastTick < kTickSeconds) return;
    state().lastTick = now;
  }
  // A reading to decide from; every change goes to the record on disk, never this copy.
  Store store = all();

  if (!Settings::marked("relayCloseMigrated")) {
    for (const auto& [sid, r] : store)
      if (r.stage == "spawned")
        change(sid, [](std::optional<Record>& now) {
          if (!now || now->stage != "spawned") return false;
          now->stage = "kept";
          return true;
        });
    Settings::set("relayCloseMigrated", true);
  }

  bool primed = Settings::marked("relayPrimed");
  for (const auto& t : terminals) {
    if (t.sessionID.empty() || t.windowless) continue;
    if (auto it = store.find(t.sessionID); it != store.end())
      step(it->second, t.sessionID, t, terminals);
    else
      ask(t, terminals, primed);
  }
  // Cleared conversations whose continuation prompt is still to be typed.
  for (const auto& [sid, r] : all())
    if (r.stage == "go" && r.next) retryPrompt(r, sid, terminals);

  if (!primed) Settings::set("relayPrimed", true);

  rollDay();
  std::function<void(const std::vector<Terminal>&, const Store&)> sweep;
  {
    std::lock_guard<std::mutex> guard(lock());
    sweep = state().sweep;
  }
  if (sweep) sweep(terminals, all());
}

void go(const std::string& sid) {
  bool went = change(sid, [](std::optional<Record>& r) {
    if (!r || (r->stage != "ready" && !(r->stage == "failed" && ready(r->file)))) return false;
    r->stage = "go";
    r->at = Clock::now();
    return true;
  });
  if (!went) return;
  std::lock_guard<std::mutex> guard(lock());
  state().lastTick = Clock::kDistantPast;
}

void setSweep(std::function<void(const std::vector<Terminal>&, const Store&)> sweep) {
  std::lock_guard<std::mutex> guard(lock());
  state().sweep = std::move(sweep);
}

}  // namespace Relay
