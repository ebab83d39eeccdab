#pragma once
// The steps behind Questions::pending, pure over the bytes of a transcript's tail, so
// the rules can be tried on plain text; the disk, the cache and the trace stay in
// questions.cpp.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "sessions/questions.h"

namespace Questions {

/// The newest question or plan call in `data` when nothing after it answers it. `cut`
/// says the bytes begin inside the file, so their first line is never examined; `now`
/// stands for the time of a record that has none.
std::optional<PendingQuestion> find(std::string_view data, bool cut, const std::string& sessionID,
                                    Clock::Time now);
/// The agent's words just before the line that begins at `end`, looking no further back
/// than `floor`; empty when the person spoke last.
std::string prose(std::string_view data, size_t end, size_t floor);
/// Whether the marker's bytes occur in the range.
bool holds(std::string_view range, std::string_view marker);
/// The question of a transcript file, read from its last 2,000,000 bytes.
std::optional<PendingQuestion> read(const std::string& path, const std::string& sessionID);
/// Appends a line to ~/.claude/velmo-asks.log when the session's question changed.
void trace(const std::string& sessionID, int64_t size, Clock::Time modified,
           const std::optional<PendingQuestion>& result);

}  // namespace Questions
