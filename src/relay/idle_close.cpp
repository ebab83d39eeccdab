#include "relay/idle_close.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "base/caches.h"
#include "base/files.h"
#include "base/json_field.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/process.h"
#include "base/settings.h"
#include "base/text.h"
#include "relay/relay.h"
#include "sessions/state.h"
#include "terminals/automation.h"
#include "terminals/host.h"
#include "terminals/names.h"
#include "terminals/picker.h"

namespace IdleClose {
namespace {

constexpr double kDay = 86400;
constexpr double kLeastTestAge = 30;
constexpr double kInterval = 600;
constexpr double kTestInterval = 20;
// The agent can take longer than 8 s to end after /exit on a busy machine; one that ends
// just after a short wait would be logged as left open.
constexpr int kExitChecks = 40;
constexpr double kExitCheckEvery = 0.5;

// When the last sweep ran; one per process, emptied with the other caches.
// The agent asked to /exit: its process (pid and start, as a pid can be reused) and its pane.
struct Agent {
  int64_t pid = 0;
  long long start = 0;  ///< its start in clock ticks after boot; 0 when it could not be read
  std::optional<std::string> lasting;  ///< its pane, taken before /exit
};

// An agent that took /exit but had not ended when the wait was over.
struct Leaving {
  Agent agent;
  std::string label;
  std::string name;
  Clock::Time since = 0;
};

// How long later sweeps still watch for an agent that is ending to be gone: a few sweeps.
constexpr double kLeavingSeconds = 1800;

struct Sweeps {
  std::mutex lock;
  Clock::Time last = Clock::kDistantPast;
  std::vector<Leaving> leaving;
  Caches::Enrolled enrolled{"idle sweep",
                            [this] {
                              std::lock_guard<std::mutex> guard(lock);
                              last = Clock::kDistantPast;
                              leaving.clear();
                            },
                            [this] {
                              std::lock_guard<std::mutex> guard(lock);
                              return static_cast<size_t>(last != Clock::kDistantPast) +
                                     leaving.size();
                            }};
};

Sweeps& sweeps() {
  static Sweeps kept;
  return kept;
}

std::string shortId(const std::string& sid) {
  return sid.substr(0, 8);
}

std::optional<nlohmann::json> readJson(const std::string& path) {
  auto text = Files::read(path);
  if (!text) return std::nullopt;
  auto json = nlohmann::json::parse(*text, nullptr, false);
  if (json.is_discarded()) return std::nullopt;
  return json;
}

double interval() {
  return testMode() ? kTestInterval : kInterval;
}

// The whole part of hours, for the log.
std::string hours(double seconds) {
  return std::to_string(static_cast<int64_t>(seconds / 3600));
}

// Whether that very agent process still runs (a pid taken over by another is not it).
bool stillRuns(const Agent& a) {
  if (!Terminals::running(a.pid)) return false;
  auto state = Terminals::processState(a.pid);
  return !state || a.start == 0 || state->startTicks == a.start;
}

// Whether the pane still holds only what was asked to leave: the agent itself, still ending, or
// the shell it ran under, back in the foreground with nothing new started from it. A pane
// where the user has started another agent, or anything else, is not closed.
// Why not, when it does not.
std::optional<std::string> notOnlyWhatLeft(const Agent& a,
                                           const Terminals::TerminalHost::Occupant& o) {
  if (o.foreground <= 0) return "what runs in its pane cannot be told";
  if (o.foreground == a.pid ? stillRuns(a) : o.foreground == o.first && o.first != a.pid)
    return std::nullopt;
  return "its pane now runs something else";
}

// Closes the pane of an agent that has ended and counts it.
void closeEnded(const Agent& a, const std::string& label, const std::string& name) {
  if (a.lasting)
    if (auto o = Terminals::host().occupant(*a.lasting))
      if (auto why = notOnlyWhatLeft(a, *o)) {
        Relay::log("IDLE-CLOSE " + label + " kept — " + *why);
        return;
      }
  auto closed = a.lasting ? Terminals::host().closeSingleById(*a.lasting)
                          : Terminals::TerminalHost::Closed::gone;
  Relay::log("IDLE-CLOSE closed " + label +
             (closed == Terminals::TerminalHost::Closed::kept
                  ? " (session exited; window kept — it has other tabs)"
                  : ""));
  tallyClosed(name);
}

// Agents that were still ending at an earlier sweep: closed once they have ended, given up
// on after half an hour.
void settleLeaving() {
  std::vector<Leaving> pending;
  {
    std::lock_guard<std::mutex> guard(sweeps().lock);
    pending.swap(sweeps().leaving);
  }
  std::vector<Leaving> still;
  for (const Leaving& l : pending) {
    if (!stillRuns(l.agent))
      closeEnded(l.agent, l.label, l.name);
    else if (Clock::now() - l.since < kLeavingSeconds)
      still.push_back(l);
    else
      Relay::log("IDLE-CLOSE " + l.label + " never ended — left open");
  }
  std::lock_guard<std::mutex> guard(sweeps().lock);
  for (auto& l : still) sweeps().leaving.push_back(std::move(l));
}

}  // namespace

bool testMode() {
  return !Settings::text("hygieneTestCwd").empty() && Settings::number("hygieneTestAge", 0) > 0;
}

double idleAge() {
  if (!testMode()) return kDay;
  return std::max(kLeastTestAge, Settings::number("hygieneTestAge", 0));
}

Stages relayStages() {
  return stagesOf(Relay::all());
}

Stages stagesOf(const Relay::Store& store) {
  Stages stages;
  for (const auto& [sid, record] : store)
    if (!record.stage.empty()) stages[sid] = record.stage;
  return stages;
}

int64_t openTasks(const std::string& sid) {
  if (sid.empty() || Text::contains(sid, "/")) return 0;
  auto entries = Files::list(Paths::agent("tasks/" + sid));
  if (!entries) return 0;
  int64_t open = 0;
  for (const auto& e : *entries) {
    // The folder also holds the agent's ".lock" and ".highwatermark".
    if (Files::extension(e.name) != "json") continue;
    auto task = readJson(e.path);
    if (!task) continue;
    std::string status = JsonField::text(*task, "status");
    if (status == "pending" || status == "in_progress") ++open;
  }
  return open;
}

std::vector<std::string> names(const Terminal& t) {
  std::vector<std::string> out;
  auto add = [&](const std::string& n) {
    if (!Text::trim(n).empty()) out.push_back(n);
  };
  add(Names::name(t.sessionID));
  add(t.recordName);
  add(t.windowTitle);
  if (auto state = Sessions::state(t.sessionID)) add(state->title);
  return out;
}

bool centralConsole(const std::string& name) {
  std::string flat = Text::replaceAll(name, "·", " ");
  while (Text::contains(flat, "  ")) flat = Text::replaceAll(flat, "  ", " ");
  return Text::contains(flat, "מסוף המשך") || Text::contains(flat, "מסוף מרכזי");
}

std::optional<std::string> keepReason(const Terminal& t, const std::vector<std::string>& known,
                                      const Stages& stages, bool prompted) {
  for (const auto& n : known)
    if (centralConsole(n)) return "central console";
  if (t.waiting.value_or(false) || prompted) return "a question is open";
  if (auto it = stages.find(t.sessionID); it != stages.end())
    if (it->second == "asked" || it->second == "ready" || it->second == "go")
      return "hand-off in progress";
  if (int64_t n = openTasks(t.sessionID); n > 0) return std::to_string(n) + " open tasks";
  if (Relay::agents(t.sessionID) > 0) return "agents running";
  return std::nullopt;
}

void tallyClosed(const std::string& name) {
  Relay::countClosed(name);
}

void sweep(const std::vector<Terminal>& terminals) {
  sweep(terminals, relayStages());
}

void sweep(const std::vector<Terminal>& terminals, const Stages& stages) {
  if (!Settings::flag("hygieneIdleClose")) return;
  const bool test = testMode();
  const std::string testDir = test ? Settings::text("hygieneTestCwd") : "";
  {
    std::lock_guard<std::mutex> guard(sweeps().lock);
    Clock::Time now = Clock::now();
    if (now - sweeps().last <= interval()) return;
    sweeps().last = now;
  }
  settleLeaving();
  const bool acting = Settings::marked("hygieneDryRunDone");
  const double age = idleAge();
  const Terminals::PickerScan screens = Terminals::pickers(false);
  int count = 0;

  for (const Terminal& t : terminals) {
    if (t.sessionID.empty() || t.windowless) continue;
    const std::string& sid = t.sessionID;
    if (test) {
      auto state = Sessions::state(sid);
      if (!Text::startsWith(state ? state->cwd : "", testDir)) continue;
    }
    auto [state, since] = Relay::official(t.pid);
    if (state != "idle") continue;
    const Clock::Time now = Clock::now();
    const double idle = now - since;
    if (idle < age) continue;
    // A conversation that was written to lately is not idle, whatever the registry says.
    if (auto transcript = Sessions::transcriptURL(sid))
      if (auto attributes = Files::attributes(*transcript))
        if (now - attributes->modified < age) continue;

    const std::vector<std::string> known = names(t);
    const std::string first = known.empty() ? "" : known.front();
    const std::string label = t.tty + " " + shortId(sid) + " " + first;
    bool prompted = false;
    for (const auto& p : screens.list)
      if (p.tty == t.tty) prompted = true;
    if (auto reason = keepReason(t, known, stages, prompted)) {
      Relay::log("IDLE-CLOSE keep " + label + " — " + *reason);
      continue;
    }

    ++count;
    if (!acting) {
      Relay::log("IDLE-CLOSE dry-run would close " + label + " — idle " + hours(idle) + "h");
      continue;
    }
    Relay::log("IDLE-CLOSE closing " + label + " — idle " + hours(idle) + "h");
    // Taken before the exit: once the terminal closes, a new one may get the same tty,
    // and closing by tty would then close that one.
    Agent agent{t.pid, 0, Terminals::host().lastingId(t.tty)};
    if (auto state = Terminals::processState(t.pid)) agent.start = state->startTicks;
    Terminals::Sent sent = Terminals::send("/exit", t.tty, terminals);
    bool runs = stillRuns(agent);
    for (int i = 0; i < kExitChecks && runs; ++i) {
      Clock::sleep(kExitCheckEvery);
      runs = stillRuns(agent);
    }
    if (runs) {
      std::string why;
      if (!sent.ok) why = " (" + sent.why + ")";
      else if (auto screen = Terminals::host().screen(t.tty);
               screen && Text::contains(*screen, "Background work is running"))
        why = " (background work is running; it asks before exiting)";
      if (why.empty()) {
        // It took the command and is ending, only slowly (the pinned agent can take longer
        // than the wait): the next sweep closes its pane once it has ended.
        Relay::log("IDLE-CLOSE " + label + " still ending — closed once it has");
        std::lock_guard<std::mutex> guard(sweeps().lock);
        sweeps().leaving.push_back(
            {agent, label, first.empty() ? shortId(sid) : first, Clock::now()});
        continue;
      }
      Relay::log("IDLE-CLOSE " + label + " did not exit — left open" + why);
      continue;
    }
    closeEnded(agent, label, first.empty() ? shortId(sid) : first);
  }

  if (!acting) {
    Relay::log("IDLE-CLOSE dry-run done — " + std::to_string(count) +
               " would be closed; acting from the next sweep");
    Settings::set("hygieneDryRunDone", true);
  }
}

bool due() {
  if (!Settings::flag("hygieneIdleClose")) return false;
  std::lock_guard<std::mutex> guard(sweeps().lock);
  return Clock::now() - sweeps().last > interval();
}

void forget() {
  std::lock_guard<std::mutex> guard(sweeps().lock);
  sweeps().last = Clock::kDistantPast;
}

}  // namespace IdleClose
