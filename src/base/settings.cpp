#include "base/settings.h"

#include <mutex>

#include "base/files.h"
#include "base/paths.h"

namespace Settings {
namespace {

std::mutex lock;
std::optional<nlohmann::json> loaded;

std::string file() { return Files::join(Paths::configDir(), "settings.json"); }

// Caller holds the lock. A missing or malformed file counts as no settings.
nlohmann::json& all() {
  if (!loaded) {
    loaded = nlohmann::json::object();
    if (auto text = Files::read(file())) {
      auto parsed = nlohmann::json::parse(*text, nullptr, false);
      if (parsed.is_object()) loaded = std::move(parsed);
    }
  }
  return *loaded;
}

}  // namespace

std::optional<nlohmann::json> value(const std::string& key) {
  std::lock_guard<std::mutex> guard(lock);
  auto& s = all();
  auto it = s.find(key);
  if (it == s.end()) return std::nullopt;
  return *it;
}

bool flag(const std::string& key) {
  auto v = value(key);
  return !(v && v->is_boolean() && !v->get<bool>());
}

std::string text(const std::string& key, const std::string& fallback) {
  auto v = value(key);
  return v && v->is_string() ? v->get<std::string>() : fallback;
}

double number(const std::string& key, double fallback) {
  auto v = value(key);
  return v && v->is_number() ? v->get<double>() : fallback;
}

bool set(const std::string& key, const nlohmann::json& v) {
  std::string data;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto& s = all();
    if (v.is_null())
      s.erase(key);
    else
      s[key] = v;
    data = s.dump(2) + "\n";
  }
  // Written outside the lock; two writers race only on whole files, and the later wins.
  if (!Files::makeDirectories(Paths::configDir(), 0700)) return false;
  return Files::writeAtomic(file(), data, 0600);
}

void reload() {
  std::lock_guard<std::mutex> guard(lock);
  loaded.reset();
}

}  // namespace Settings
