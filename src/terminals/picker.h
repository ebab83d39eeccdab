#pragma once
// A prompt read off a terminal's screen: a permission request, a question with options,
// or the review screen of a multi-question form.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
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
/// The last dump's prompts and readable flag as they stand, never reading the screens.
PickerScan lastPickers();

/// "R|" or "Q|", the question, "|", the labels joined with "|". Two prompts with equal
/// signatures ask alike, but may still be two prompts: see `promptKey`.
std::string signature(const Picker& picker);
/// What tells one prompt from another: the signature, the lines above the question (the
/// command, path, address or plan being approved) and, for a review screen, what was
/// answered. Equal keys on one terminal, same prompt. The question id is made from it.
std::string promptKey(const Picker& picker);

/// The prompt on one screen (its lines, top to bottom), if it shows one.
std::optional<Picker> parsePicker(const std::vector<std::string>& lines, const std::string& tty);
/// The same for a whole screen text.
std::optional<Picker> parseScreen(const std::string& text, const std::string& tty);

/// What a stable reading found.
struct StableReading {
  std::optional<Picker> picker;
  bool seen = false;  ///< false when the screens could not be read or the tty was not among them
  bool settled = true;  ///< false when the readings never agreed: then there is no picker
};
/// Reads the tty's prompt until two readings 0.25 s apart agree on the prompt (its
/// `promptKey`) and on the marker's row (at most 8 more readings), and, when `want` is
/// given, satisfy it. Readings that never agree give no picker and `settled` false.
StableReading stablePicker(const std::string& tty,
                           const std::function<bool(const Picker&)>& want = nullptr);

/// The ttys whose screens the last successful dump held (read, with or without a prompt).
std::set<std::string> pickerTTYs();
/// The host's window id of every tty in the last successful dump.
std::map<std::string, int64_t> windowIDs();

/// The agent continues a label too long for its pane on the next row, indented like a
/// description, so the screen shows the label's start and the rest as detail. Where one of
/// `fullLabels` (the labels the agent was given) begins with an option's screen label, that
/// full label becomes the option's label and the continued words leave its detail.
Picker completeLabels(Picker picker, const std::vector<std::string>& fullLabels);

}  // namespace Terminals
