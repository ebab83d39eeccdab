#include "base/settings.h"

#include "base/files.h"
#include "base/paths.h"
#include "base/stores.h"

namespace Settings {
namespace {

std::string file() {
  return Files::join(Paths::configDir(), "settings.json");
}

// Another Velmo on this home may change a setting at any time: the file is read again
// whenever it is another file than the one read last.
Stores::Kept& kept() {
  static Stores::Kept k("settings");
  return k;
}

}  // namespace

std::optional<nlohmann::json> value(const std::string& key) {
  auto s = kept().get(file());
  auto it = s->find(key);
  if (it == s->end()) return std::nullopt;
  return *it;
}

bool flag(const std::string& key) {
  auto v = value(key);
  return !(v && v->is_boolean() && !v->get<bool>());
}

bool marked(const std::string& key) {
  auto v = value(key);
  return v && v->is_boolean() && v->get<bool>();
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
  return update(key, [&](nlohmann::json& current) {
    current = v;
    return true;
  });
}

bool update(const std::string& key, const std::function<bool(nlohmann::json&)>& change) {
  if (!Files::makeDirectories(Paths::configDir(), 0700)) return false;
  return Stores::update(file(), [&](nlohmann::json& s) {
    auto it = s.find(key);
    nlohmann::json current = it == s.end() ? nlohmann::json() : *it;
    if (!change(current)) return false;
    if (current.is_null())
      s.erase(key);
    else
      s[key] = std::move(current);
    return true;
  });
}

void reload() {
  kept().forget();
}

}  // namespace Settings
