#pragma once
// Terminals as tmux panes, driven with the tmux command. Every value handed to tmux is
// one argument; nothing is ever built into a shell command line from outside text. The
// server is the one tmux itself would pick (TMUX, else TMUX_TMPDIR and the default
// socket) unless `tmuxArgs` name another.

#include <mutex>
#include <string>
#include <vector>

#include "terminals/host.h"

namespace Terminals {

class TmuxHost final : public TerminalHost {
 public:
  /// `tmuxArgs` go before every command, such as {"-L", "name"} or {"-S", "/path"}.
  explicit TmuxHost(std::vector<std::string> tmuxArgs = {});

  std::optional<std::map<std::string, std::string>> titles() override;
  std::optional<std::vector<Screen>> screens() override;
  std::optional<std::string> screen(const std::string& tty) override;
  std::optional<std::string> styledScreen(const std::string& tty) override;
  bool typeLine(const std::string& tty, const std::string& text) override;
  bool pasteLine(const std::string& tty, const std::string& text) override;
  bool typeKeys(const std::string& tty, int moves, const std::string& text) override;
  bool setTitle(const std::string& tty, const std::string& title) override;
  bool raise(const std::string& tty) override;
  bool open(const std::string& cwd, const Launch& what) override;
  void close(const std::string& tty) override;
  bool closeSingle(const std::string& tty) override;
  /// The pane id ("%3").
  std::optional<std::string> lastingId(const std::string& tty) override;
  Closed closeSingleById(const std::string& id) override;
  std::optional<Occupant> occupant(const std::string& id) override;

  /// One pane of `list-panes -a` with the fields this host needs.
  struct Pane {
    std::string id;       ///< "%3"
    std::string tty;      ///< "/dev/pts/3"
    std::string window;   ///< "@2"
    int windowPanes = 0;  ///< panes in that window
    std::string session;  ///< "$1"
    int attached = 0;     ///< clients attached to that session
  };
  /// The format that `parsePanes` reads.
  static const char* const kPaneFormat;
  static std::vector<Pane> parsePanes(const std::string& listing);
  /// Reads `list-panes -a -F "#{pane_tty}\t#{@velmo_title}\t#{pane_title}"` output.
  static std::map<std::string, std::string> parseTitles(const std::string& listing);
  /// An argument that tmux passes on unchanged: tmux reads a trailing ";" as the end of a
  /// command, and a trailing "\;" as a literal ";".
  static std::string literal(const std::string& value);
  /// The words a terminal emulator is started with to show the session `target`.
  static std::vector<std::string> emulatorCommand(const std::string& setting,
                                                  const std::string& environment,
                                                  const std::vector<std::string>& tmuxArgs,
                                                  const std::string& target);

 private:
  std::optional<std::string> tmux(const std::vector<std::string>& args, double timeout = 4.0);
  std::optional<std::vector<Pane>> panes();
  std::optional<Pane> paneOf(const std::string& tty);
  void showSession(const std::string& session);
  std::vector<std::string> prefix;
  std::mutex knownLock;
  std::vector<std::string> knownPanes;  ///< pane ids of the last dump, under knownLock
};

}  // namespace Terminals
