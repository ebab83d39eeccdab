#pragma once
// `velmo --list`: one discovery, printed as JSON for people and tests.

#include <nlohmann/json.hpp>

/// {"terminals": [...]}: every terminal with its fields and its session state (or null).
nlohmann::json listTerminals();
/// Prints `listTerminals()` to standard output; returns the exit status.
int runList();
