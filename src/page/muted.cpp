#include "page/muted.h"

#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/stores.h"

namespace Muted {
namespace {

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

// An older build kept the map in the settings; it is read, and carried into the file by
// the first change, never written back.
std::map<std::string, std::string> legacy() {
  if (auto rows = Settings::value("mutedRows"))
    if (auto map = textMap(*rows)) return *map;
  return {};
}

// A file that is missing, or that holds anything but stamps, reads as the old setting.
std::map<std::string, std::string> load() {
  if (Files::exists(file()))
    if (auto map = textMap(Stores::read(file()))) return *map;
  return legacy();
}

// One session's entry changed in the file as it is now: another Velmo's mutes, and a
// stale entry dropped by a scan meanwhile, are kept. A file that read as the old setting
// starts from it, with whatever stamps it did hold.
void change(const std::function<bool(nlohmann::json&)>& edit) {
  Stores::update(file(), [&](nlohmann::json& store) {
    if (!textMap(store) || (store.empty() && !Files::exists(file()))) {
      nlohmann::json start = nlohmann::json::object();
      for (const auto& [sid, stamp] : legacy()) start[sid] = stamp;
      for (const auto& [sid, stamp] : store.items())
        if (stamp.is_string()) start[sid] = stamp;
      store = std::move(start);
    }
    return edit(store);
  });
}

}  // namespace

std::string stamp(std::optional<Clock::Time> event, const std::string& ask) {
  long long seconds = 0;
  if (event && *event > Clock::kDistantPast && std::isfinite(*event))
    seconds = static_cast<long long>(std::trunc(*event));
  return std::to_string(seconds) + "|" + ask;
}

std::map<std::string, std::string> all() {
  return load();
}

bool is(const std::string& sessionID, const std::string& stampText) {
  auto map = load();
  auto it = map.find(sessionID);
  if (it == map.end()) return false;
  if (it->second == stampText) return true;
  // Only the stale stamp read here goes: a mute given meanwhile is for the question now.
  const std::string stale = it->second;
  change([&](nlohmann::json& store) {
    auto found = store.find(sessionID);
    if (found == store.end() || *found != stale) return false;
    store.erase(found);
    return true;
  });
  return false;
}

void set(const std::string& sessionID, const std::optional<std::string>& stampText) {
  change([&](nlohmann::json& store) {
    if (stampText)
      store[sessionID] = *stampText;
    else
      store.erase(sessionID);
    return true;
  });
}

}  // namespace Muted
