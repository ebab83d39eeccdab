#pragma once
// A session's transcript as the chat the page shows: the user's prompts, the agent's
// text and one short row per tool call, read backwards from the end of the file only as
// far as the wanted number of lines needs.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"

struct Line {
  std::string role;  ///< "you", "claude" or "tool"
  std::string text;  ///< the message; for a tool row its activity label
  std::string arg;   ///< for a tool row the short argument; empty otherwise
  Clock::Time time = Clock::kDistantPast;
};

struct Reading {
  std::vector<Line> lines;  ///< oldest first
  bool atStart = false;     ///< nothing older exists in the transcript
};

namespace Transcript {

/// The last lines of a session's chat, enough to hold `want` lines that are not tool rows
/// (fewer when the transcript has fewer). Cached by the file's size and modification time.
Reading read(const std::string& sessionID, int want);
/// How many lines to ask `read` for so that the reading reaches back to `time`
/// (seconds since 1970); 24 for a time that is not positive.
int want(double time, const std::string& sessionID);
/// Drops terminal escape sequences and leaked mouse reports.
std::string withoutTerminalCodes(std::string_view text);

// The pieces of a reading, pure over bytes and text.

/// One window of a file: its last `tail` bytes walked backwards until `want` lines that
/// are not tool rows, or max(14 × want, 600) lines in all, were collected.
Reading readWindow(const std::string& path, uint64_t tail, int want);
/// The same over bytes already read; `cut` says they begin inside the file, so their
/// first line is a fragment.
Reading readBytes(std::string_view data, bool cut, int want);
/// The chat lines of one raw record (none for tool results, side chains, meta records).
std::vector<Line> parse(std::string_view record);
/// A prompt as the person wrote it: system blocks and terminal codes removed, trimmed.
std::string human(std::string_view text);
/// Removes the blocks the agent injects into prompts (system reminders, command echoes),
/// through their closing tag, or to the end when it is missing.
std::string withoutSystemBlocks(std::string_view text);
/// Drops a tool row that repeats the tool row just before it.
std::vector<Line> collapse(std::vector<Line> lines);

/// The tail size that last gave a sufficient reading of the session, if any.
std::optional<uint64_t> learnedTail(const std::string& sessionID);

}  // namespace Transcript
