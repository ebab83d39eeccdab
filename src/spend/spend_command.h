#pragma once
// `velmo --spend`: one forced refresh of the account, printed as JSON for people and tests.

#include <nlohmann/json.hpp>

namespace Spend {

/// {"board": <the board payload>, "models": {model id: {"input", "output", "read",
/// "write5", "write1h", "calls"}}} with the all-time totals per model id.
nlohmann::json spendReport();
/// Refreshes, prints `spendReport()` to standard output and one line of what was read to
/// standard error; returns the exit status.
int spendCommand();

}  // namespace Spend
