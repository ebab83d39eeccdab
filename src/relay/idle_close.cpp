#include "relay/idle_close.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/text.h"
#include "sessions/state.h"
#include "terminals/automation.h"
#include "terminals/host.h"
#include "terminals/picker.h"

namespace IdleClose {
namespace {

constexpr double kDay = 86400;
constexpr double kLeastTestAge = 30;
constexpr double kInterval = 600;
constexpr double kTestInterval = 20;
constexpr int kExitChecks = 16;
constexpr double kExitCheckEvery = 0.5;
constexpr int64_t kTranscriptChunk = 1 << 20;

std::mutex sweepLock;
Clock::Time lastSweep = Clock::kDistantPast;

std::string shortId(const std::string& sid) {
  return sid.substr(0, 8);
}

bool storedTrue(const std::string& key) {
  auto v = Settings::value(key);
  return v && v->is_boolean() && v->get<bool>();
}

std::optional<nlohmann::json> readJson(const std::string& path) {
  auto text = Files::read(path);
  if (!text) return std::nullopt;
  auto json = nlohmann::json::parse(*text, nullptr, false);
  if (json.is_discarded()) return std::nullopt;
  return json;
}

std::string textField(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return "";
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

// Which of the markers occur somewhere in the file, read a chunk at a time (transcripts run
// to hundreds of megabytes); a marker may straddle two chunks, so each keeps the tail of
// the one before.
std::vector<bool> occurIn(const std::string& path, const std::vector<std::string>& markers) {
  std::vector<bool> found(markers.size(), false);
  std::ifstream in(path, std::ios::binary);
  if (!in) return found;
  size_t longest = 0;
  for (const auto& m : markers) longest = std::max(longest, m.size());
  std::string carry, chunk(static_cast<size_t>(kTranscriptChunk), '\0');
  while (in) {
    in.read(chunk.data(), kTranscriptChunk);
    std::string text = carry + chunk.substr(0, static_cast<size_t>(in.gcount()));
    for (size_t i = 0; i < markers.size(); ++i)
      if (!found[i] && Text::contains(text, markers[i])) found[i] = true;
    carry = text.size() > longest ? text.substr(text.size() - longest) : text;
  }
  return found;
}

bool alive(int64_t pid) {
  if (pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::string localDate(Clock::Time t) {
  std::time_t seconds = static_cast<std::time_t>(t);
  std::tm local{};
  if (!::localtime_r(&seconds, &local)) return "";
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

std::string part(const nlohmann::json& list) {
  if (!list.is_array() || list.empty()) return "0";
  std::vector<std::string> names;
  for (const auto& n : list)
    if (n.is_string()) names.push_back(n.get<std::string>());
  return std::to_string(list.size()) + " (" + Text::join(names, ", ") + ")";
}

double interval() {
  return testMode() ? kTestInterval : kInterval;
}

// The whole part of hours, for the log.
std::string hours(double seconds) {
  return std::to_string(static_cast<int64_t>(seconds / 3600));
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
  Stages stages;
  auto json = readJson(Paths::agent("velmo-relay.json"));
  if (!json || !json->is_object()) return stages;
  for (const auto& [sid, record] : json->items())
    if (auto stage = textField(record, "stage"); !stage.empty()) stages[sid] = stage;
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
    std::string status = textField(*task, "status");
    if (status == "pending" || status == "in_progress") ++open;
  }
  return open;
}

int64_t agents(const std::string& sid) {
  auto transcript = Sessions::transcriptURL(sid);
  if (!transcript) return 0;
  std::string stem = Text::endsWith(*transcript, ".jsonl")
                         ? transcript->substr(0, transcript->size() - 6)
                         : *transcript;
  auto entries = Files::list(Files::join(stem, "subagents"));
  if (!entries) return 0;
  const std::string meta = ".meta.json";
  std::vector<std::string> markers;
  for (const auto& e : *entries) {
    if (!Text::endsWith(e.name, meta)) continue;
    auto json = readJson(e.path);
    if (!json || textField(*json, "requestShape") != "background") continue;
    std::string id = e.name.substr(0, e.name.size() - meta.size());
    if (Text::startsWith(id, "agent-")) id = id.substr(6);
    markers.push_back("<task-id>" + id + "</task-id>");
  }
  if (markers.empty()) return 0;
  int64_t running = 0;
  for (bool done : occurIn(*transcript, markers))
    if (!done) ++running;
  return running;
}

std::pair<std::string, Clock::Time> official(int64_t pid) {
  const Clock::Time never = -Clock::kDistantPast;
  auto json = readJson(Paths::agent("sessions/" + std::to_string(pid) + ".json"));
  if (!json || !json->is_object()) return {"", never};
  std::string state = textField(*json, "status");
  Clock::Time since = never;
  for (const char* key : {"statusUpdatedAt", "updatedAt"}) {
    auto it = json->find(key);
    if (it != json->end() && it->is_number()) {
      since = it->get<double>() / 1000;
      break;
    }
  }
  return {state, since};
}

std::vector<std::string> names(const Terminal& t) {
  std::vector<std::string> out;
  auto add = [&](const std::string& n) {
    if (!Text::trim(n).empty()) out.push_back(n);
  };
  // The user's names, read directly: the names store is written by the page's rename.
  if (auto store = readJson(Paths::agent("velmo-names.json")); store && store->is_object())
    add(textField(*store, t.sessionID.c_str()));
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
  if (agents(t.sessionID) > 0) return "agents running";
  return std::nullopt;
}

void log(const std::string& text) {
  Log::line(Paths::agent("velmo-hygiene.log"), text);
}

void tallyClosed(const std::string& name) {
  const std::string today = localDate(Clock::now());
  nlohmann::json day;
  if (auto stored = Settings::value("hygieneDay"); stored && stored->is_object()) day = *stored;
  if (!day.is_object() || textField(day, "day") != today) {
    bool any = day.is_object() && ((day.contains("reset") && !day["reset"].empty()) ||
                                   (day.contains("closed") && !day["closed"].empty()));
    if (any)
      log("DAILY " + textField(day, "day") + " " + Lang::pick("Reset: ", "אופסו: ") +
          part(day.value("reset", nlohmann::json::array())) + " · " +
          Lang::pick("Closed: ", "נסגרו: ") + part(day.value("closed", nlohmann::json::array())));
    day = {{"day", today}, {"reset", nlohmann::json::array()}, {"closed", nlohmann::json::array()}};
  }
  if (!day["closed"].is_array()) day["closed"] = nlohmann::json::array();
  day["closed"].push_back(name);
  Settings::set("hygieneDay", day);
}

void sweep(const std::vector<Terminal>& terminals) {
  sweep(terminals, relayStages());
}

void sweep(const std::vector<Terminal>& terminals, const Stages& stages) {
  if (!Settings::flag("hygieneIdleClose")) return;
  const bool test = testMode();
  const std::string testDir = test ? Settings::text("hygieneTestCwd") : "";
  {
    std::lock_guard<std::mutex> guard(sweepLock);
    Clock::Time now = Clock::now();
    if (now - lastSweep <= interval()) return;
    lastSweep = now;
  }
  const bool acting = storedTrue("hygieneDryRunDone");
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
    auto [state, since] = official(t.pid);
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
      log("IDLE-CLOSE keep " + label + " — " + *reason);
      continue;
    }

    ++count;
    if (!acting) {
      log("IDLE-CLOSE dry-run would close " + label + " — idle " + hours(idle) + "h");
      continue;
    }
    log("IDLE-CLOSE closing " + label + " — idle " + hours(idle) + "h");
    // Taken before the exit: once the terminal closes, a new one may get the same tty,
    // and closing by tty would then close that one.
    auto lasting = Terminals::host().lastingId(t.tty);
    Terminals::Sent sent = Terminals::send("/exit", t.tty, terminals);
    bool running = alive(t.pid);
    for (int i = 0; i < kExitChecks && running; ++i) {
      Clock::sleep(kExitCheckEvery);
      running = alive(t.pid);
    }
    if (running) {
      std::string why;
      if (sent.unsent)
        why = " (unsent text in its input row; nothing typed)";
      else if (!sent.ok)
        why = " (typing /exit failed)";
      else if (auto screen = Terminals::host().screen(t.tty);
               screen && Text::contains(*screen, "Background work is running"))
        why = " (background work is running; it asks before exiting)";
      log("IDLE-CLOSE " + label + " did not exit — left open" + why);
      continue;
    }
    auto closed = lasting ? Terminals::host().closeSingleById(*lasting)
                          : Terminals::TerminalHost::Closed::gone;
    log("IDLE-CLOSE closed " + label +
        (closed == Terminals::TerminalHost::Closed::kept
             ? " (session exited; window kept — it has other tabs)"
             : ""));
    tallyClosed(first.empty() ? shortId(sid) : first);
  }

  if (!acting) {
    log("IDLE-CLOSE dry-run done — " + std::to_string(count) +
        " would be closed; acting from the next sweep");
    Settings::set("hygieneDryRunDone", true);
  }
}

bool due() {
  if (!Settings::flag("hygieneIdleClose")) return false;
  std::lock_guard<std::mutex> guard(sweepLock);
  return Clock::now() - lastSweep > interval();
}

void forget() {
  std::lock_guard<std::mutex> guard(sweepLock);
  lastSweep = Clock::kDistantPast;
}

}  // namespace IdleClose
