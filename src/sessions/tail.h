#pragma once
// What the tail of a transcript says, worked out from its bytes alone, so that the rules
// can be tried on plain text; the disk, the cache and the clock stay in state.cpp.

#include <cstdint>
#include <string>

#include "base/clock.h"
#include "sessions/state.h"

namespace Sessions {

/// The kind of turn a transcript last ended on ("?" while none was seen).
enum class LastKind { unknown, human, result, tool, answer };

struct TailSummary {
  LastKind lastKind = LastKind::unknown;
  std::string lastTool;  ///< name of the newest tool call, empty before any
  std::string customTitle;
  std::string aiTitle;
  std::string cwd;
  std::string model;  ///< the model name as written, not its label
  int64_t contextTokens = 0;
  std::string text;  ///< newest assistant text or queued prompt, cleaned, not yet cut
  Clock::Time lastEvent = Clock::kDistantPast;
};

/// Reads the records of a tail. `cut` says the tail starts inside the file, so its first
/// line is a fragment; `modified` stands for the last event when no record has a time.
TailSummary summarise(std::string bytes, bool cut, Clock::Time modified);

/// The one-line form of a text for the snippet: Markdown bold, headings and code ticks
/// removed, runs of spaces collapsed.
std::string clean(std::string text);

/// Mode from the last kind of turn and the seconds since the last event.
SessionState::Mode deriveMode(LastKind kind, double elapsed);

/// Sets the mode and the activity that goes with it as of `now`.
void settle(SessionState& state, LastKind kind, const std::string& lastTool, Clock::Time now);

/// The state record of a summary as of `now` (sub-agents not yet counted).
SessionState build(const std::string& id, const TailSummary& summary, Clock::Time now);

}  // namespace Sessions
