#pragma once
// Where things live: the user's home, the agent's folder, the documents folder,
// Velmo's settings and private state.

#include <string>

namespace Paths {

/// `$HOME`, else the password database. Fixed at first use.
std::string home();
/// The agent's own folder: `$CLAUDE_CONFIG_DIR` when set, else ~/.claude.
std::string agentDir();
/// A file or folder inside the agent's folder.
std::string agent(const std::string& relative);
/// The documents folder (`xdg-user-dir DOCUMENTS`, else ~/Documents) followed by "claude".
std::string documents();
/// `$XDG_CONFIG_HOME/velmo` (default ~/.config/velmo).
std::string configDir();
/// The private state folder ~/.claude/velmo-state (0700 when created).
std::string stateDir();
/// This machine's short host name, fit for a file name ("localhost" when it has none). A
/// home shared between machines keeps one claim and one control socket per machine under it.
std::string host();

}  // namespace Paths
