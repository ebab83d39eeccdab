#pragma once
// A private tmux server for one test: TMUX_TMPDIR points at a fresh folder (so tmux picks
// a socket there), TMUX is cleared so an outer tmux is never touched, and the server is
// killed and the folder removed at the end.

#include <functional>
#include <optional>
#include <string>
#include <vector>

class PrivateTmux {
 public:
  PrivateTmux();
  ~PrivateTmux();
  PrivateTmux(const PrivateTmux&) = delete;
  PrivateTmux& operator=(const PrivateTmux&) = delete;

  /// Runs tmux with the arguments against this server.
  std::optional<std::string> run(const std::vector<std::string>& args) const;
  /// Starts a detached session running `command` (one word each) and returns its pane id.
  std::string start(const std::string& session, const std::vector<std::string>& command) const;
  /// A format of one pane ("#{pane_tty}"), trimmed.
  std::string show(const std::string& pane, const std::string& format) const;
  std::string capture(const std::string& pane) const;
  void kill() const;

  const std::string& folder() const { return dir; }

 private:
  std::string dir;
  std::optional<std::string> oldTmpdir, oldTmux, oldPane;
};

/// Calls `check` every 0.1 s until it is true or `seconds` have passed.
bool waitFor(const std::function<bool()>& check, double seconds);
