#pragma once
// The window's alerts about acts that failed: a message or answer that did not reach its
// terminal, a conversation whose terminal is closed, a terminal that did not open. Without
// dialogs (no window) an alert becomes a diagnostic line.

#include <functional>
#include <memory>
#include <string>

#include "app/dialogs.h"
#include "app/follow.h"
#include "app/lanes.h"
#include "app/sources.h"

class Reports {
 public:
  Reports(Dialogs* dialogs, Lanes& lanes, std::shared_ptr<const AppSources> sources);

  /// Shows the alert; `done` gets the button chosen (-1: none).
  void alert(const Alert& alert, std::function<void(int)> done = {});
  /// A typed message did not reach its terminal. The caller forgets its pending texts.
  Follow sendFailure();
  /// An answer did not take, and why; offers to raise the terminal. An empty reason is the
  /// plain `sendFailure()`.
  Follow sendFailure(const std::string& reason, const std::string& tty);
  /// The terminal's input row holds words the user has not sent, so nothing was typed;
  /// offers to raise the terminal.
  Follow unsentText(const std::string& tty);
  /// "The message was not sent", the reason, and the offer to open the terminal.
  Follow messageFailure(const std::string& reason, const std::string& tty);
  void closedTerminal();
  void openFailure(const std::string& message);

 private:
  /// An alert whose first button brings `tty`'s terminal to the front.
  void alertOfferingTerminal(const std::string& title, const std::string& text,
                             const std::string& tty);

  Dialogs* dialogs;
  Lanes& lanes;
  std::shared_ptr<const AppSources> sources;
};
