#pragma once
// Answering a prompt on a terminal's screen by typing what a person would: cursor moves
// to the wanted row and Return, or the free-text row, the text and Return. Nothing is
// typed unless two readings of the screen show the prompt with the wanted row; afterwards
// the screen is watched until the prompt is gone.

#include <string>

namespace Terminals {

/// How an answer ended: whether the prompt took it, and why not.
struct Answered {
  bool ok = false;
  std::string why;  ///< in the interface language; empty when ok
  explicit operator bool() const { return ok; }
};

/// Picks the numbered option `answer` (decimal text) of the prompt on the tty. Blocks for
/// seconds.
Answered choose(const std::string& answer, const std::string& tty);
/// Types `text` (line feeds become spaces) into the prompt's free-text row.
Answered answerFree(const std::string& text, const std::string& tty);

/// True while an answer is being typed into the tty and for 3 seconds after it ended.
bool answering(const std::string& tty);

}  // namespace Terminals
