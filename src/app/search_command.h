#pragma once
// `velmo --search TEXT`: search every past conversation from a shell. One forced index
// refresh, then the search payload printed as JSON.

#include <string>

#include "search/smart.h"

/// Refreshes the index (forced), searches for `query` and prints the payload to standard
/// output; with `smart` the meaning search's rows too ("smart"), or "smartFailed": true and
/// "smartReason". Returns the exit status: 0; 1 when the output could not be written; 3
/// when the meaning search failed.
int runSearch(const std::string& query, bool smart = false);

/// Handles `--search TEXT [--smart]` (or `--search=TEXT [--smart]`) when it is the command
/// line's first argument, taking the next argument as the text whatever it looks like.
/// Sets `status` and returns true when it handled the command line.
bool searchCommand(int argc, char** argv, int& status);

/// The meaning search as the application runs it: file rows as the library's views draw
/// them.
SmartSearch::Options smartOptions();
