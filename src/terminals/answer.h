#pragma once
// Answering a prompt on a terminal's screen by typing what a person would: cursor moves
// to the wanted row and Return, or the free-text row, the text and Return. Nothing is
// typed unless two readings of the screen agree on the very prompt meant (its key, command
// included) with the wanted row; afterwards the screen is watched until that prompt is
// gone, and a key is pressed again only while it still shows.

#include <functional>
#include <string>

#include "terminals/picker.h"

namespace Terminals {

/// How an answer ended: whether keys were typed, whether the screen then showed the prompt
/// leave, and why not.
struct Answered {
  bool ok = false;     ///< typed, and the screen showed the prompt answered
  bool typed = false;  ///< keys reached the terminal (also when `ok` is false)
  std::string why;     ///< in the interface language; empty when ok
  explicit operator bool() const { return ok; }
};

/// Whether the prompt on screen is the one the answer was meant for (its question id, from
/// the caller that drew it). An answer without one is never typed: a card or a request
/// that cannot say which prompt it answers would answer whatever shows.
using Meant = std::function<bool(const Picker&)>;

/// Picks the numbered option `answer` (decimal text) of the prompt on the tty, when the
/// prompt on screen is `meant`. Blocks for seconds.
Answered choose(const std::string& answer, const std::string& tty, const Meant& meant);
/// Types `text` (line feeds become spaces) into the prompt's free-text row.
Answered answerFree(const std::string& text, const std::string& tty, const Meant& meant);

/// True while an answer is being typed into the tty and for 3 seconds after it ended.
bool answering(const std::string& tty);

}  // namespace Terminals
