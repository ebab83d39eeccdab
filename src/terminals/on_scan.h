#pragma once
// The hook that runs after every successful look at the terminals (discovery or a screen
// dump); the application sets it to request a state-file write.

namespace Terminals {

/// Runs the hook set with `setOnScan`, if one is set.
void runOnScan();

}  // namespace Terminals
