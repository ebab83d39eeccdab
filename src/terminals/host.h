#pragma once
// The seam to whatever shows the terminals: tmux panes on Linux (TmuxHost), the macOS
// Terminal application through osascript (AppleScriptHost), a scripted fake in tests.
// A terminal is always addressed by its tty path.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Terminals {

/// One terminal's visible screen, as one dump reads them all.
struct Screen {
  std::string tty;
  int64_t window = 0;  ///< the host's window id as a number (tmux "@7" → 7)
  std::string text;
};

class TerminalHost {
 public:
  virtual ~TerminalHost() = default;

  /// tty → raw title of the terminal showing it (a custom title wins); no value when the
  /// host cannot be asked.
  virtual std::optional<std::map<std::string, std::string>> titles() = 0;
  /// Every terminal's visible screen, in one call; no value when the host cannot be asked.
  virtual std::optional<std::vector<Screen>> screens() = 0;
  /// One terminal's visible screen; "<<none>>" when no terminal has the tty; no value
  /// when the host cannot be asked.
  virtual std::optional<std::string> screen(const std::string& tty) = 0;
  /// Types the text, then Return (an empty text presses Return alone).
  virtual bool typeLine(const std::string& tty, const std::string& text) = 0;
  /// Moves the cursor (`moves` < 0: that many Up, > 0: Down), types the text, then Return.
  virtual bool typeKeys(const std::string& tty, int moves, const std::string& text) = 0;
  virtual bool setTitle(const std::string& tty, const std::string& title) = 0;
  virtual bool raise(const std::string& tty) = 0;
  /// Opens a new terminal running `argv` in `cwd`.
  virtual bool open(const std::string& cwd, const std::vector<std::string>& argv) = 0;
  /// Closes every terminal with the tty.
  virtual void close(const std::string& tty) = 0;
  /// Closes the terminal's window only when it holds that one terminal alone.
  virtual bool closeSingle(const std::string& tty) = 0;
};

/// The host in force: chosen by the setting "terminalHost" ("tmux", the default, or
/// "applescript") at first use, unless one was installed.
TerminalHost& host();
/// Installs a host (nullptr goes back to the setting's choice). Tests and start-up.
void installHost(std::shared_ptr<TerminalHost> host);

}  // namespace Terminals
