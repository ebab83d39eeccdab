#pragma once
// What each agent session is doing now, read from the tail of its transcript.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"

struct SessionState {
  enum class Mode { working, waiting, quiet };

  std::string id;
  std::string title;
  std::string cwd;
  std::string project;
  Mode mode = Mode::quiet;
  Clock::Time lastEvent = Clock::kDistantPast;
  std::string model;    ///< display label ("Opus"), empty for other families
  std::string modelID;  ///< the model as the transcript names it ("claude-opus-4-1")
  int64_t contextTokens = 0;
  std::string activity;
  std::string snippet;
  int64_t agentsRunning = 0;
};

/// "working", "waiting" or "quiet".
const char* modeName(SessionState::Mode mode);

namespace Sessions {

/// The transcript file of a session, searched under ~/.claude/projects and remembered.
std::optional<std::string> transcriptURL(const std::string& sessionID);
/// The session's state now; no value when its transcript cannot be found or read.
std::optional<SessionState> state(const std::string& sessionID);
/// Activity label of a tool name, in the interface language.
std::string hebrewTool(const std::string& toolName);
/// Display label of a model name ("Opus", "Sonnet", "Haiku", "Fable"); empty for others.
std::string modelLabel(const std::string& model);
/// A transcript time stamp (ISO 8601 with or without fractional seconds).
std::optional<Clock::Time> time(std::string_view text);

}  // namespace Sessions
