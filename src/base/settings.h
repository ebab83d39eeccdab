#pragma once
// The user's settings: one JSON object in $XDG_CONFIG_HOME/velmo/settings.json, keyed by
// the setting names. Shared by every Velmo on this home: each change is one key changed in
// the file as it is on disk (base/stores.h), and a reading follows the file when it changes.

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace Settings {

std::optional<nlohmann::json> value(const std::string& key);
/// True unless false is stored.
bool flag(const std::string& key);
/// True only when true is stored: for marks whose absence means "not yet".
bool marked(const std::string& key);
std::string text(const std::string& key, const std::string& fallback = "");
double number(const std::string& key, double fallback);

/// Stores a value (null removes the key) and writes the file; false when the write failed.
bool set(const std::string& key, const nlohmann::json& value);
/// Changes one key from its value on disk now (null when absent; null left removes it),
/// under the settings' lock; nothing is written when `change` returns false.
bool update(const std::string& key, const std::function<bool(nlohmann::json&)>& change);

/// Forgets the last reading, so the next read loads the file again.
void reload();

}  // namespace Settings
