// The relay's records on disk, the day's tally and the hygiene log. The store is small and
// read on every scan by the page, so it is kept in memory while the file stays the same.

#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "base/caches.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/timefmt.h"
#include "relay/relay.h"
#include "relay/relay_state.h"

using nlohmann::json;

namespace Relay {

std::mutex& lock() {
  static std::mutex m;
  return m;
}

State& state() {
  static State s;
  return s;
}

namespace {

// Everything remembered in memory goes when caches are emptied: the next read and the next
// tick start afresh.
Caches::Enrolled enrolled(
    "relay store",
    [] {
      std::lock_guard<std::mutex> guard(lock());
      state().memo.reset();
      state().memoStamp = Clock::kDistantPast;
      state().lastTick = Clock::kDistantPast;
      state().askFailed.clear();
    },
    [] {
      std::lock_guard<std::mutex> guard(lock());
      return state().memo ? state().memo->size() : size_t{0};
    });

std::string storePath() {
  return Paths::agent("velmo-relay.json");
}

std::optional<std::string> textAt(const json& o, const char* key) {
  auto it = o.find(key);
  if (it == o.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::vector<std::string> textList(const json& o, const char* key) {
  std::vector<std::string> out;
  auto it = o.find(key);
  if (it == o.end() || !it->is_array()) return out;
  for (const auto& v : *it)
    if (v.is_string()) out.push_back(v.get<std::string>());
  return out;
}

}  // namespace

std::string localDate(Clock::Time t, const char* pattern) {
  std::time_t secs = static_cast<std::time_t>(t);
  std::tm parts{};
  localtime_r(&secs, &parts);
  char buf[64];
  size_t n = std::strftime(buf, sizeof buf, pattern, &parts);
  return std::string(buf, n);
}

std::string encode(const Store& store) {
  json out = json::object();
  for (const auto& [sid, r] : store) {
    json o = {{"stage", r.stage},
              {"file", r.file},
              {"cwd", r.cwd},
              {"name", r.name},
              {"at", TimeText::iso8601(r.at)}};
    if (r.next) o["next"] = *r.next;
    if (r.prev) o["prev"] = *r.prev;
    if (r.pct) o["pct"] = *r.pct;
    if (r.automatic) o["auto"] = *r.automatic;
    out[sid] = std::move(o);
  }
  return out.dump(2) + "\n";
}

Store decode(const std::string& text) {
  Store store;
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return store;
  for (const auto& [sid, o] : doc.items()) {
    if (sid.empty() || !o.is_object()) continue;
    auto stage = textAt(o, "stage");
    if (!stage) continue;
    Record r;
    r.stage = *stage;
    r.file = textAt(o, "file").value_or("");
    r.cwd = textAt(o, "cwd").value_or("");
    r.name = textAt(o, "name").value_or("");
    auto at = textAt(o, "at");
    auto when = at ? TimeText::parseIso(*at) : std::nullopt;
    r.at = when ? *when : Clock::kDistantPast;
    r.next = textAt(o, "next");
    r.prev = textAt(o, "prev");
    if (auto p = o.find("pct"); p != o.end() && p->is_number()) r.pct = p->get<int64_t>();
    if (auto a = o.find("auto"); a != o.end() && a->is_boolean()) r.automatic = a->get<bool>();
    store[sid] = std::move(r);
  }
  return store;
}

Store all() {
  std::string path = storePath();
  auto attrs = Files::attributes(path);
  Clock::Time stamp = attrs ? attrs->modified : Clock::kDistantPast;
  {
    std::lock_guard<std::mutex> guard(lock());
    if (state().memo && state().memoStamp == stamp) return *state().memo;
  }
  Store store;
  if (attrs && attrs->regular) {
    if (auto text = Files::read(path)) store = decode(*text);
  }
  std::lock_guard<std::mutex> guard(lock());
  state().memo = store;
  state().memoStamp = stamp;
  return store;
}

bool save(const Store& store) {
  std::string path = storePath();
  Files::makeDirectories(Paths::agentDir(), 0700);
  bool ok = Files::writeAtomic(path, encode(store), 0600);
  auto attrs = Files::attributes(path);
  std::lock_guard<std::mutex> guard(lock());
  if (ok && attrs) {
    state().memo = store;
    state().memoStamp = attrs->modified;
  } else {
    state().memo.reset();
  }
  return ok;
}

std::optional<std::string> stage(const std::string& sid) {
  if (sid.empty()) return std::nullopt;
  Store store = all();
  auto it = store.find(sid);
  if (it == store.end()) return std::nullopt;
  return it->second.stage;
}

void forget() {
  std::lock_guard<std::mutex> guard(lock());
  state().memo.reset();
  state().memoStamp = Clock::kDistantPast;
  state().lastTick = Clock::kDistantPast;
  state().askFailed.clear();
}

// ---- the day ----

namespace {

Day loadDay(const std::string& todayText) {
  auto stored = Settings::value("hygieneDay");
  if (!stored || !stored->is_object()) return Day{todayText, {}, {}};
  auto day = textAt(*stored, "day");
  if (!day || day->empty()) return Day{todayText, {}, {}};
  return Day{*day, textList(*stored, "reset"), textList(*stored, "closed")};
}

std::string part(const std::vector<std::string>& list) {
  if (list.empty()) return "0";
  std::string joined;
  for (const auto& e : list) joined += (joined.empty() ? "" : ", ") + e;
  return std::to_string(list.size()) + " (" + joined + ")";
}

}  // namespace

std::string dayLine(const Day& day) {
  return std::string(Lang::pick("Reset: ", "אופסו: ")) + part(day.reset) + " · " +
         Lang::pick("Closed: ", "נסגרו: ") + part(day.closed);
}

bool saveDay(const Day& day) {
  return Settings::set("hygieneDay",
                       json{{"day", day.day}, {"reset", day.reset}, {"closed", day.closed}});
}

void rollDay() {
  std::string todayText = localDate(Clock::now(), "%Y-%m-%d");
  Day day = loadDay(todayText);
  if (day.day == todayText) return;
  if (!day.reset.empty() || !day.closed.empty()) log("DAILY " + day.day + " " + dayLine(day));
  saveDay(Day{todayText, {}, {}});
}

Day today() {
  rollDay();
  return loadDay(localDate(Clock::now(), "%Y-%m-%d"));
}

void log(const std::string& text) {
  Log::line(Paths::agent("velmo-hygiene.log"), text);
}

}  // namespace Relay
