#pragma once
// Answering a prompt on a terminal's screen by typing what a person would: cursor moves
// to the wanted row and Return, or the free-text row, the text and Return. Nothing is
// typed unless two readings of the screen show the prompt with the wanted row; afterwards
// the screen is watched until the prompt is gone.

#include <map>
#include <string>

namespace Terminals {

/// Picks the numbered option `answer` (decimal text) of the prompt on the tty. Blocks for
/// seconds; false with `failure(tty)` holding the reason.
bool choose(const std::string& answer, const std::string& tty);
/// Types `text` (line feeds become spaces) into the prompt's free-text row.
bool answerFree(const std::string& text, const std::string& tty);

/// True while an answer is being typed into the tty and for 3 seconds after it ended.
bool answering(const std::string& tty);
/// Why the last answer to the tty failed; "" when it did not.
std::string failure(const std::string& tty);
/// Every terminal's last failure.
std::map<std::string, std::string> failures();

/// Forgets answering marks and failures (tests).
void forgetAnswers();

}  // namespace Terminals
