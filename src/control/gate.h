#pragma once
// The one gate through which an answer from outside the window (the control socket, a
// notification) reaches a terminal: it re-reads the screen, checks the question is still
// the one meant and the answer fits, asks the channel's authorisation, types, and checks.

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "terminals/picker.h"
#include "terminals/terminal.h"

namespace Control {

/// What the channel's authorisation step decided.
struct Authorization {
  bool allowed = false;
  std::string who;   ///< who decided
  std::string note;  ///< the authoriser's note, or the refusal message
};

/// Given the prompt on screen, its question id, its gate and the answer text.
using Authorize = std::function<Authorization(const Terminals::Picker& picker,
                                              const std::string& questionID,
                                              const std::string& gate, const std::string& answer)>;

/// Answers the terminal's prompt; the reply dictionary has "ok", "result" and more.
nlohmann::json answer(const Terminal& term, const std::string& expect, const std::string& option,
                      const std::string& text, const std::string& via, const Authorize& authorize);

/// An open terminal by session id, tty, pid, slot, session-id prefix or name.
std::optional<Terminal> resolve(const std::string& query);
/// An option of the picker by a loose reference.
std::optional<Terminals::Option> pickOption(const Terminals::Picker& picker,
                                            const std::string& reference);
std::string displayName(const Terminal& term);

}  // namespace Control
