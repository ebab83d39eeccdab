#pragma once
// When Velmo last typed into each session, as the gate records it for relay evidence.

#include <optional>
#include <string>

#include "base/clock.h"

namespace Control {

/// The time Velmo last typed into the session; call with `lock()` held.
std::optional<Clock::Time> typedAtLocked(const std::string& sessionID);

}  // namespace Control
