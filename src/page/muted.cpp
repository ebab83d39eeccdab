#include "page/muted.h"

#include <cmath>
#include <mutex>
#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/paths.h"
#include "base/settings.h"

namespace Muted {
namespace {

// `is` runs on the scan's thread and may drop a stale entry while the main thread
// handles a "mute": without one lock over each read-change-write, one of the two
// rewrites would carry a map that lacks the other's change, and a mute would vanish.
std::mutex lock;

std::string file() {
  return Paths::agent("velmo-muted.json");
}

std::optional<std::map<std::string, std::string>> textMap(const nlohmann::json& value) {
  if (!value.is_object()) return std::nullopt;
  std::map<std::string, std::string> map;
  for (const auto& [sid, stamp] : value.items()) {
    if (!stamp.is_string()) return std::nullopt;
    map[sid] = stamp.get<std::string>();
  }
  return map;
}

// Caller holds the lock.
std::map<std::string, std::string> load() {
  if (auto text = Files::read(file(), Files::kStoreBytes)) {
    if (auto map = textMap(nlohmann::json::parse(*text, nullptr, false))) return *map;
  }
  // An older build kept the map in the settings; it is read, never written.
  if (auto rows = Settings::value("mutedRows")) {
    if (auto map = textMap(*rows)) return *map;
  }
  return {};
}

// Caller holds the lock. Failures leave the old file; the next change tries again.
void save(const std::map<std::string, std::string>& map) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [sid, stamp] : map) out[sid] = stamp;
  Files::makeDirectories(Paths::agentDir(), 0700);
  Files::writeAtomic(file(), out.dump(2) + "\n", 0600);
}

}  // namespace

std::string stamp(std::optional<Clock::Time> event, const std::string& ask) {
  long long seconds = 0;
  if (event && *event > Clock::kDistantPast && std::isfinite(*event))
    seconds = static_cast<long long>(std::trunc(*event));
  return std::to_string(seconds) + "|" + ask;
}

std::map<std::string, std::string> all() {
  std::lock_guard<std::mutex> guard(lock);
  return load();
}

bool is(const std::string& sessionID, const std::string& stampText) {
  std::lock_guard<std::mutex> guard(lock);
  auto map = load();
  auto it = map.find(sessionID);
  if (it == map.end()) return false;
  if (it->second == stampText) return true;
  map.erase(it);
  save(map);
  return false;
}

void set(const std::string& sessionID, const std::optional<std::string>& stampText) {
  std::lock_guard<std::mutex> guard(lock);
  auto map = load();
  if (stampText)
    map[sessionID] = *stampText;
  else
    map.erase(sessionID);
  save(map);
}

}  // namespace Muted
