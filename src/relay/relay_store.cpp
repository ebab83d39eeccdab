// The relay's records on disk, the day's tally and the hygiene log. The store is small and
// read on every scan by the page, so it is kept in memory while the file stays the same.
// Every Velmo on the home may change it (a continue click in any page; the passes of the
// one that owns the terminals), so each change is one record changed on disk, under the
// store's lock.

#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "base/caches.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/stores.h"
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
      state().memoStamp.reset();
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

namespace {

json encodeRecord(const Record& r) {
  json o = {{"stage", r.stage},
            {"file", r.file},
            {"cwd", r.cwd},
            {"name", r.name},
            {"at", TimeText::iso8601(r.at)}};
  if (r.next) o["next"] = *r.next;
  if (r.prev) o["prev"] = *r.prev;
  if (r.pct) o["pct"] = *r.pct;
  if (r.automatic) o["auto"] = *r.automatic;
  return o;
}

std::optional<Record> decodeRecord(const json& o) {
  if (!o.is_object()) return std::nullopt;
  auto stage = textAt(o, "stage");
  if (!stage) return std::nullopt;
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
  return r;
}

json encodeStore(const Store& store) {
  json out = json::object();
  for (const auto& [sid, r] : store) out[sid] = encodeRecord(r);
  return out;
}

Store decodeStore(const json& doc) {
  Store store;
  if (!doc.is_object()) return store;
  for (const auto& [sid, o] : doc.items()) {
    if (sid.empty()) continue;
    if (auto r = decodeRecord(o)) store[sid] = std::move(*r);
  }
  return store;
}

}  // namespace

std::string encode(const Store& store) {
  return encodeStore(store).dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

Store decode(const std::string& text) {
  return decodeStore(json::parse(text, nullptr, false));
}

Store all() {
  std::string path = storePath();
  auto stamp = Stores::stamp(path);
  {
    std::lock_guard<std::mutex> guard(lock());
    if (state().memo && state().memoStamp == stamp) return *state().memo;
  }
  Store store = decodeStore(Stores::read(path));
  std::lock_guard<std::mutex> guard(lock());
  state().memo = store;
  state().memoStamp = stamp;
  return store;
}

bool save(const Store& store) {
  return Stores::update(storePath(), [&](json& doc) {
    doc = encodeStore(store);
    return true;
  });
}

bool change(const std::string& sid, const std::function<bool(std::optional<Record>&)>& edit) {
  if (sid.empty()) return false;
  return Stores::update(storePath(), [&](json& doc) {
    auto it = doc.find(sid);
    std::optional<Record> record = it == doc.end() ? std::nullopt : decodeRecord(*it);
    if (!edit(record)) return false;
    if (record)
      doc[sid] = encodeRecord(*record);
    else
      doc.erase(sid);
    return true;
  });
}

bool replace(const std::string& sid, const std::optional<Record>& before, const Record& after) {
  return change(sid, [&](std::optional<Record>& now) {
    if (now != before) return false;
    now = after;
    return true;
  });
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
  state().memoStamp.reset();
  state().lastTick = Clock::kDistantPast;
  state().askFailed.clear();
}

// ---- the day ----

namespace {

Day dayOf(const std::optional<json>& stored, const std::string& todayText) {
  if (!stored || !stored->is_object()) return Day{todayText, {}, {}};
  auto day = textAt(*stored, "day");
  if (!day || day->empty()) return Day{todayText, {}, {}};
  return Day{*day, textList(*stored, "reset"), textList(*stored, "closed")};
}

json dayJson(const Day& day) {
  return json{{"day", day.day}, {"reset", day.reset}, {"closed", day.closed}};
}

// Today's tally as the settings hold it now, started afresh (and yesterday's logged once,
// by whichever Velmo gets there first) when the date moved on; `add` may then change it.
void changeDay(const std::function<void(Day&)>& add) {
  std::string todayText = localDate(Clock::now(), "%Y-%m-%d");
  std::optional<Day> ended;
  Settings::update("hygieneDay", [&](json& stored) {
    Day day = dayOf(stored.is_null() ? std::nullopt : std::optional<json>(stored), todayText);
    bool changed = false;
    if (day.day != todayText) {
      if (!day.reset.empty() || !day.closed.empty()) ended = day;
      day = Day{todayText, {}, {}};
      changed = true;
    }
    if (add) {
      add(day);
      changed = true;
    }
    if (changed) stored = dayJson(day);
    return changed;
  });
  if (ended) log("DAILY " + ended->day + " " + dayLine(*ended));
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

void rollDay() {
  changeDay(nullptr);
}

Day today() {
  rollDay();
  return dayOf(Settings::value("hygieneDay"), localDate(Clock::now(), "%Y-%m-%d"));
}

void countReset(const std::string& name) {
  changeDay([&](Day& day) { day.reset.push_back(name); });
}

void countClosed(const std::string& name) {
  changeDay([&](Day& day) { day.closed.push_back(name); });
}

void log(const std::string& text) {
  Log::line(Paths::agent("velmo-hygiene.log"), text);
}

}  // namespace Relay
