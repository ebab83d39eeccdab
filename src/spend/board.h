#pragma once
// The spend board and usage windows as payloads for the page: token totals, weights (list
// prices, shown only as proportions) and shares, per session and per model.

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "base/clock.h"

namespace Spend {

/// Session id → display title of the sessions open in terminals.
using Live = std::map<std::string, std::string>;

/// Most sessions listed per span.
constexpr size_t kBoardSessions = 40;

/// {"building", "ready", "logs", "bars", "today", "week", "all"}.
nlohmann::json board(const Live& live);
/// Totals of the hour buckets from the one holding `from` to the one holding `to`, both
/// included: {"models": {model: counters, "label", "weight"}, "input", "output", "read",
/// "write", "calls", "weight"}.
nlohmann::json window(Clock::Time from, Clock::Time to);
/// The board with "quota" (the quota payload) and "windowNow" (the last five hours).
nlohmann::json panel(const Live& live);

}  // namespace Spend
