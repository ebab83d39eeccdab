#pragma once
// Text logs: one line per event, an ISO-8601 time stamp, a blank, the text.

#include <string>

namespace Log {

/// Appends "‹time stamp› ‹text›\n" to the file (created owner-only), under a lock
/// so lines from different threads never interleave.
void line(const std::string& file, const std::string& text);

/// "Velmo: ‹text›" ("ולמו: " in Hebrew) on standard error.
void note(const std::string& text);

}  // namespace Log
