#pragma once
// Terminals as tmux panes, driven with the tmux command. Every value handed to tmux is
// one argument; nothing is ever built into a shell command line.

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
  bool typeLine(const std::string& tty, const std::string& text) override;
  bool typeKeys(const std::string& tty, int moves, const std::string& text) override;
  bool setTitle(const std::string& tty, const std::string& title) override;
  bool raise(const std::string& tty) override;
  bool open(const std::string& cwd, const std::vector<std::string>& argv) override;
  void close(const std::string& tty) override;
  bool closeSingle(const std::string& tty) override;

  /// Reads `list-panes -a -F "#{pane_tty}\t#{@velmo_title}\t#{pane_title}"` output.
  static std::map<std::string, std::string> parseTitles(const std::string& listing);

 private:
  std::optional<std::string> tmux(std::vector<std::string> args, double timeout = 4.0);
  std::vector<std::string> prefix;
};

}  // namespace Terminals
