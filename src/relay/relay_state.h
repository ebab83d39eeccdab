#pragma once
// What the relay remembers in memory between calls, shared by its source files.

#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/stores.h"
#include "relay/relay.h"

namespace Relay {

struct State {
  std::optional<Store> memo;  ///< the last store read
  std::optional<Stores::Stamp> memoStamp;  ///< the file the memo was read from
  Clock::Time lastTick = Clock::kDistantPast;
  /// Sessions whose hand-off request could not be typed, logged once until it is.
  std::set<std::string> askFailed;
  std::function<void(const std::vector<Terminal>&, const Store&)> sweep;
};

/// The relay's one lock: held only around the memo and the fields above.
std::mutex& lock();
State& state();

/// The local time in a strftime pattern.
std::string localDate(Clock::Time t, const char* pattern);

}  // namespace Relay
