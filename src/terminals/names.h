#pragma once
// The user's names for conversations, and renames still to be carried into the agent: a
// live conversation is renamed by typing the agent's own /rename when it is idle, a closed
// one by appending a title record to its transcript.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "terminals/terminal.h"

namespace Names {

/// Session id → the user's name (~/.claude/velmo-names.json, as it is on disk now; read
/// again only when the file changed).
std::map<std::string, std::string> all();
/// The user's name for one session, "" when none or for an empty id.
std::string name(const std::string& sid);
/// Stores the name (trimmed, its first 80 characters); an empty name removes it. Only this
/// session's entry changes: names given meanwhile by another Velmo stay.
void set(const std::string& name, const std::string& sid);
/// Carries a new name into the agent: through the terminal when `live`, else the transcript.
void rename(const std::string& name, const std::string& sid, bool live);
/// Appends the title records to the session's transcript; never creates one.
void setReal(const std::string& name, const std::string& sid);
/// Renames still to reach the agent (~/.claude/velmo-renames.json, read on every call).
std::map<std::string, std::string> waiting();
/// One pass over the waiting renames (the scan's chores); nothing without a process list
/// (none means it could not be read, not that every terminal closed).
void tick(const std::optional<std::vector<Terminal>>& terminals);

}  // namespace Names
