#pragma once
// Answering a prompt on a terminal's screen by typing what a person would: cursor moves
// to the wanted row and Return, or the free-text row, the text and Return. Nothing is
// typed unless two readings of the screen show the prompt with the wanted row; afterwards
// the screen is watched until the prompt is gone.

#include <functional>
#include <string>

#include "terminals/picker.h"

namespace Terminals {

/// How an answer ended: whether the prompt took it, and why not.
struct Answered {
  bool ok = false;
  std::string why;  ///< in the interface language; empty when ok
  explicit operator bool() const { return ok; }
};

/// Whether the prompt on screen is the one the answer was meant for (a caller that drew it
/// earlier knows which); an empty one takes any prompt with the wanted row.
using Meant = std::function<bool(const Picker&)>;

/// Picks the numbered option `answer` (decimal text) of the prompt on the tty. Blocks for
/// seconds.
Answered choose(const std::string& answer, const std::string& tty, const Meant& meant = {});
/// Types `text` (line feeds become spaces) into the prompt's free-text row.
Answered answerFree(const std::string& text, const std::string& tty, const Meant& meant = {});

/// True while an answer is being typed into the tty and for 3 seconds after it ended.
bool answering(const std::string& tty);

}  // namespace Terminals
