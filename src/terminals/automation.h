#pragma once
// What this system does to a terminal beyond answering prompts: typing a line and checking
// that the agent took it, titles, bringing a terminal to the front, opening new terminals.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "terminals/terminal.h"

namespace Terminals {

/// How a send ended.
struct Sent {
  bool ok = false;
  /// Refused before typing: the agent's input row held text a person typed and has not
  /// sent, which the typed line would have joined.
  bool unsent = false;
  /// Why it was not sent, in the interface language; empty when ok (and for a text with
  /// nothing in it to send).
  std::string why;
  bool typed = false;  ///< the text went out (also when the agent then did not take it)
  explicit operator bool() const { return ok; }
};

/// Whether the tty's screen lets a text be typed now: it must show the agent's input row,
/// empty, and no prompt. A question, a permission prompt, a plan approval or a review
/// screen would take the text's Return as its answer; a screen that cannot be read, or
/// that shows no input row, cannot tell. No value when it may; else the refusal.
std::optional<Sent> notReady(const std::string& tty);

/// Types the text as one line (line feeds become spaces, control characters are dropped)
/// and confirms that the agent took it: its registry status leaves "idle", or the text
/// leaves its input box. Types nothing while `notReady` refuses. Presses Return
/// again up to three times, each only while the screen shows the text still in the input
/// row and no prompt; fails when nothing was typed or the text stayed. Blocks up to about
/// ten seconds.
Sent send(const std::string& text, const std::string& tty);
/// The same, with the registry statuses of `terminals` watched instead of `open()`'s.
Sent send(const std::string& text, const std::string& tty, const std::vector<Terminal>& terminals);
/// A message as a person writes it, possibly over several lines: pasted as one piece with
/// its line breaks, then Return, so it arrives as one message; a single line goes as `send`
/// sends it. Confirmed when the input row is empty again or the status leaves "idle".
Sent sendMessage(const std::string& text, const std::string& tty,
                 const std::vector<Terminal>& terminals);

/// Whether `needle` (spaces ignored) is still in the agent's input box; no value when the
/// screen cannot be read.
std::optional<bool> stillTyped(const std::string& needle, const std::string& tty);

/// Sets the terminal's custom title.
bool setWindowTitle(const std::string& title, const std::string& tty);

/// Brings the terminal to the front. A background session with no terminal of its own is
/// shown in a new terminal that attaches to it.
bool raise(const std::string& tty);
bool raise(const std::string& tty, const std::vector<Terminal>& terminals);

/// Opens a new terminal running the agent with `args` in `cwd` (the home folder when
/// empty); an empty text on success, else the message to show.
std::string spawnClaude(const std::string& cwd, const std::vector<std::string>& args);
/// Opens a new terminal running the user's own start command `cx` in `cwd`, with
/// "--dangerously-skip-permissions" when `bypass`; an empty text or the message to show.
std::string spawn(const std::string& cwd, bool bypass);

/// The agent's executable: the usual install places, then `claude` on PATH.
std::optional<std::string> claudePath();

/// The registry status of the agent process `pid`, read fresh from disk; "" when the file,
/// the object or the field is missing or not a text.
std::string status(int64_t pid);
/// Any text field of that registry file ("sessionId", "name"), read the same way.
std::string registryField(int64_t pid, const std::string& field);

}  // namespace Terminals
