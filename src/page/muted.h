#pragma once
// Muted questions: ~/.claude/velmo-muted.json, session id → mute stamp. A stamp names one
// question at one moment, so a mute lapses by itself when the session moves on.

#include <map>
#include <optional>
#include <string>

#include "base/clock.h"

namespace Muted {

/// Whole seconds of the event (0 without one), "|", the first question's text.
std::string stamp(std::optional<Clock::Time> event, const std::string& ask);
std::map<std::string, std::string> all();
/// True when the stored stamp equals `stamp`; a different stored stamp is removed.
bool is(const std::string& sessionID, const std::string& stamp);
/// With a stamp, mutes; without one, unmutes: this session's entry alone changes on disk.
void set(const std::string& sessionID, const std::optional<std::string>& stamp);

}  // namespace Muted
