#pragma once
// The titles the agent stored in its transcripts (a title the user set in the agent, or one
// it generated), found with one grep per transcript and remembered with the transcript's
// size, so a large transcript is searched again only once it has grown by about a megabyte.

#include <string>

namespace Titles {

/// The best title of a conversation, searching its transcript when needed.
std::string of(const std::string& sid);
/// The best title without searching: the user's name, else the remembered title, else "".
std::string known(const std::string& sid);
/// Finds the titles of the `count` newest conversations and saves the memo.
void warm(int count);
/// Loads the memo from ~/.claude/velmo-titles.json once.
void load();
/// Saves the memo when it is loaded (failures ignored).
void save();

/// The title in grep's matches of title records, one per line: the last custom title,
/// else the last generated one; a value that is not a whole JSON string of 1 to 200
/// characters is skipped.
std::string fromMatches(const std::string& grepOutput);

}  // namespace Titles
