#include "base/settings.h"

#include <mutex>

#include "base/caches.h"
#include "base/files.h"
#include "base/paths.h"

namespace Settings {
namespace {

std::mutex lock;
std::optional<nlohmann::json> loaded;

std::string file() {
  return Files::join(Paths::configDir(), "settings.json");
}

// A missing or malformed file counts as no settings. The file is read outside the lock:
// a refused file is logged in the interface language, and working that out reads these
// settings again.
nlohmann::json fromDisk() {
  if (auto text = Files::read(file(), Files::kStoreBytes)) {
    auto parsed = nlohmann::json::parse(*text, nullptr, false);
    if (parsed.is_object()) return parsed;
  }
  return nlohmann::json::object();
}

// Runs `use` on the loaded settings under the lock; a `reload` that lands between loading
// and locking loads again, so a change is never made to an empty stand-in and saved.
template <class Use>
auto withLoaded(Use use) {
  while (true) {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (loaded) return use(*loaded);
    }
    nlohmann::json read = fromDisk();
    std::lock_guard<std::mutex> guard(lock);
    if (!loaded) loaded = std::move(read);
  }
}

}  // namespace

std::optional<nlohmann::json> value(const std::string& key) {
  return withLoaded([&](const nlohmann::json& s) -> std::optional<nlohmann::json> {
    auto it = s.find(key);
    if (it == s.end()) return std::nullopt;
    return *it;
  });
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
  std::string data = withLoaded([&](nlohmann::json& s) {
    if (v.is_null())
      s.erase(key);
    else
      s[key] = v;
    return s.dump(2) + "\n";
  });
  // Written outside the lock; two writers race only on whole files, and the later wins.
  if (!Files::makeDirectories(Paths::configDir(), 0700)) return false;
  return Files::writeAtomic(file(), data, 0600);
}

void reload() {
  std::lock_guard<std::mutex> guard(lock);
  loaded.reset();
}

namespace {
const Caches::Enrolled enrolled("settings", reload, [] {
  std::lock_guard<std::mutex> guard(lock);
  return size_t{loaded.has_value()};
});
}  // namespace

}  // namespace Settings
