#pragma once
// The user's settings: one JSON object in $XDG_CONFIG_HOME/velmo/settings.json, keyed by
// the setting names. Read once, kept in memory, written whole and atomically on change.

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

/// Forgets the loaded file, so the next read loads it again (tests, other writers).
void reload();

}  // namespace Settings
