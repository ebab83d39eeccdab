#pragma once
// A prompt read off a terminal's screen: a permission request, a question with options,
// or the review screen of a multi-question form.

#include <set>
#include <string>
#include <vector>

namespace Terminals {

struct Option {
  std::string n;       ///< the number as printed ("1", "12")
  std::string label;   ///< text after the number (and after a check box)
  std::string detail;  ///< description lines under the option, joined with spaces
};

struct Picker {
  std::string tty;
  std::string question;
  std::vector<Option> options;  ///< without the free-text row and "Chat about this"
  std::string context;          ///< the agent's last words above the prompt
  int cursor = 1;               ///< option carrying the selection marker
  int freeRow = 0;              ///< number of the free-text row; 0 when none
  bool multi = false;
  bool review = false;
  std::set<std::string> checked;
  std::vector<std::string> body;
};

/// What the last screen dump found.
struct PickerScan {
  std::vector<Picker> list;  ///< prompts of all readable terminals
  bool readable = false;     ///< whether the screens could be read at all
};

/// The prompts on every terminal's screen; a dump less than 1.5 s old is reused unless `fresh`.
PickerScan pickers(bool fresh = false);
/// The ttys whose screens the last successful dump covered: a tty outside it was never read,
/// so finding no prompt there says nothing.
std::set<std::string> pickerTTYs();

/// "R|" or "Q|", the question, "|", the labels joined with "|": equal texts, same prompt.
std::string signature(const Picker& picker);

}  // namespace Terminals
