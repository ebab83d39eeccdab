#pragma once
// Starting a program that outlives the call: a terminal emulator for a tmux session.

#include <string>
#include <vector>

namespace Terminals {

/// Starts `argv` (a bare first word is looked up on PATH) in its own session with no
/// standard streams, without waiting for it; false when it could not be started. The
/// child does not inherit TMUX or TMUX_PANE, so a tmux client it runs never refuses to
/// nest.
bool launchDetached(const std::vector<std::string>& argv);

}  // namespace Terminals
