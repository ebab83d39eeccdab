#pragma once
// The seam to whatever shows the terminals: tmux panes (TmuxHost), a scripted fake in
// tests.
// A terminal is always addressed by its tty path.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Terminals {

/// One terminal's visible screen, as one dump reads them all.
struct Screen {
  std::string tty;
  std::optional<int64_t> window;  ///< the host's window id as a number (tmux "@7" → 7)
  std::string text;
};

/// What a new terminal runs.
struct Launch {
  std::vector<std::string> argv;  ///< the program and its arguments, one word each
  /// The program is something the user's own shell setup provides (an alias or a
  /// function), so it must be started through the user's interactive shell.
  bool userShell = false;
};

class TerminalHost {
 public:
  virtual ~TerminalHost() = default;

  /// tty → raw title of the terminal showing it (a custom title wins); no value when the
  /// host cannot be asked.
  virtual std::optional<std::map<std::string, std::string>> titles() = 0;
  /// Every terminal's visible screen, in one call; no value when the host cannot be asked
  /// or shows no terminal at all.
  virtual std::optional<std::vector<Screen>> screens() = 0;
  /// One terminal's visible screen; "<<none>>" when no terminal has the tty; no value
  /// when the host cannot be asked.
  virtual std::optional<std::string> screen(const std::string& tty) = 0;
  /// The same screen with its attribute codes (SGR) where the host can give them, so that
  /// dimmed text can be told from typed text; by default the plain screen.
  virtual std::optional<std::string> styledScreen(const std::string& tty);
  /// Types the text, then Return (an empty text presses Return alone).
  virtual bool typeLine(const std::string& tty, const std::string& text) = 0;
  /// Pastes the text as one piece, its line breaks kept as text (a bracketed paste), then
  /// presses Return: a message of several lines arrives as one message.
  virtual bool pasteLine(const std::string& tty, const std::string& text) = 0;
  /// Moves the cursor (`moves` < 0: that many Up, > 0: Down), types the text, then Return.
  virtual bool typeKeys(const std::string& tty, int moves, const std::string& text) = 0;
  /// Sets the terminal's custom title (an empty title gives the title back to the program).
  virtual bool setTitle(const std::string& tty, const std::string& title) = 0;
  /// Brings the terminal to the front; false when no terminal has the tty.
  virtual bool raise(const std::string& tty) = 0;
  /// Opens a new terminal in the folder `cwd`, running `what`.
  virtual bool open(const std::string& cwd, const Launch& what) = 0;
  /// Closes every terminal with the tty.
  virtual void close(const std::string& tty) = 0;
  /// Closes the terminal's window only when it holds that one terminal alone ("ok"); a
  /// window with more terminals is left open ("no").
  virtual bool closeSingle(const std::string& tty) = 0;

  /// How closing a terminal by its lasting id ended.
  enum class Closed {
    window,  ///< its window held it alone and was closed
    kept,    ///< its window holds other terminals and stays open
    gone,    ///< the terminal had already gone (the program it ran was its own command)
  };
  /// The host's own id of the terminal showing the tty, which no later terminal reuses
  /// (a tmux pane id); no value when no terminal has the tty. A tty number can pass to a
  /// new terminal as soon as the old one closes, so anything that closes a terminal after
  /// the program in it ended takes this id first. By default the tty itself.
  virtual std::optional<std::string> lastingId(const std::string& tty);
  /// What runs in the terminal with that lasting id: the process it started with (a shell,
  /// or the program it runs as its own command) and the leader of its foreground process
  /// group. No value when the terminal has gone; zeros where the host cannot tell (the
  /// default).
  struct Occupant {
    int64_t first = 0;
    int64_t foreground = 0;
  };
  virtual std::optional<Occupant> occupant(const std::string& id);
  /// Closes the window of the terminal with that id when it holds that terminal alone.
  /// By default the id is a tty and `closeSingle` closes it.
  virtual Closed closeSingleById(const std::string& id);

  /// Why opening a terminal usually fails with this host, for the failure message;
  /// `forCommand` is true for the user's start command.
  virtual std::string openFailure(bool forCommand) const;
};

/// Splits one dump of every screen: per terminal a header made of `marker`, the tty, "|W|"
/// and the window id ("7", "+7" or tmux's "@7"), a line end, then the screen's text.
/// Pieces whose tty does not begin with "/dev/" are skipped.
std::vector<Screen> splitDump(const std::string& text, const std::string& marker);

/// The host in force: tmux (on the socket the setting "tmuxSocket" names, if any) from its
/// first use, unless one was installed.
TerminalHost& host();
/// Installs a host (nullptr goes back to the setting's choice). Tests and start-up.
void installHost(std::shared_ptr<TerminalHost> host);

}  // namespace Terminals
