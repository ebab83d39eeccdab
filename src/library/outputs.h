#pragma once
// The files a conversation produced: those its agent wrote with its file tools or named in
// its replies, each with the time it first appeared. The transcript is read on from where
// the last call stopped, so a long conversation is scanned once.

#include <string>
#include <vector>

#include "base/clock.h"

struct Output {
  std::string path;
  Clock::Time at = Clock::kDistantPast;  ///< when it first appeared in the conversation
};

namespace Outputs {

/// The session's produced files that exist now (regular files), in first-seen order.
std::vector<Output> of(const std::string& sessionID);

/// Whether a path is worth listing: a kept extension, not under /tmp/ or a scratchpad.
bool kept(const std::string& path);

}  // namespace Outputs
