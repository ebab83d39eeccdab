#pragma once
// What Velmo types is text, never keys, and it never types over what a person has started.
// A terminal runs a control character as a key (a carriage return is Enter), so none may
// reach it inside a text. The agent's input row is where a person types the next message:
// "❯" and a no-break space, then the text, inside a box of two rules.

#include <optional>
#include <string>
#include <string_view>

namespace Terminals {

/// The text with every control character dropped (C0, DEL and C1), so that nothing in it
/// acts as a key press. With `keepLineBreaks` line breaks stay, as line feeds (CR LF and a
/// lone CR become LF), for a message that is pasted rather than typed.
std::string typeable(std::string_view text, bool keepLineBreaks = false);

/// What a person typed into the agent's input row and has not sent, read off a screen that
/// may carry the terminal's attribute codes (SGR). "" when the row is empty or shows only
/// the agent's dimmed hint; no value when the screen shows no input row (a prompt covers
/// it, or the pane is not the agent's).
std::optional<std::string> unsentText(std::string_view screen);

/// The same for the tty's screen now; no value when it cannot be read or has no input row.
std::optional<std::string> draftOn(const std::string& tty);

/// "The terminal has unsent text; send it or clear it first", in the interface language.
std::string unsentRefusal();

}  // namespace Terminals
