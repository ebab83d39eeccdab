#pragma once
// The subscription's usage limits, as an outside poller samples them into
// ~/.claude/velmo-spend/quota.json (read here, never written).

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"

namespace Quota {

struct Row {
  std::string kind;
  std::string label;
  int64_t percent = 0;
  std::string severity = "normal";
  std::optional<Clock::Time> resets;
  bool active = false;
};

struct Reading {
  std::vector<Row> rows;
  std::optional<Clock::Time> fetched;
  std::string error;
};

/// A sample older than this many seconds is stale.
constexpr double kStaleAfter = 900;

std::string path();
/// The quota file; a missing or unparsable one gives no rows and no fetched time.
Reading read();
/// The label of a limit's kind, in the interface language.
std::string label(const std::string& kind, const std::string& displayName);
/// {"rows", "error", "missing", "stale", "age"} for the page.
nlohmann::json payload();
/// The short text of the time left until `resets` ("3:05h", "2d", "12m", "reset"; "" for none).
std::string until(std::optional<Clock::Time> resets);

}  // namespace Quota
