#pragma once
// A private tmux server for one test or benchmark, and a stand-in for the agent.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

/// TMUX_TMPDIR points at a fresh folder for the object's life and TMUX is cleared, so no
/// command reaches the user's own server. The server is killed and the panes' processes
/// are waited for (then killed) at the end; the environment is put back.
class PrivateTmux {
 public:
  PrivateTmux();
  ~PrivateTmux();
  PrivateTmux(const PrivateTmux&) = delete;
  PrivateTmux& operator=(const PrivateTmux&) = delete;

  /// The folder TMUX_TMPDIR names; free for the test's own files too.
  const std::string& dir() const { return folder; }
  /// Runs tmux with the arguments against this server; standard output on success.
  std::optional<std::string> run(const std::vector<std::string>& args) const;
  /// A detached session of its own (120×40) running `command` (one word each); its pane id.
  std::string start(const std::string& session, const std::vector<std::string>& command) const;
  /// A format of one pane ("#{pane_tty}"), trimmed.
  std::string show(const std::string& pane, const std::string& format) const;
  /// The pane's visible text, soft-wrapped rows joined.
  std::string capture(const std::string& pane) const;
  /// Ends the server now (the destructor does too).
  void kill() const;
  /// A new window of the session "lab" (the first call makes it) running `argv` directly,
  /// without a shell, so the pane's process is the program itself. Returns the pane id
  /// ("%3"), or "" when tmux failed.
  std::string openPane(const std::vector<std::string>& argv);
  std::string paneTty(const std::string& pane) const;
  int64_t panePid(const std::string& pane) const;

 private:
  std::string folder;
  bool started = false;
  std::vector<int64_t> pids;
  std::optional<std::string> oldTmpdir;
  std::optional<std::string> oldTmux;
};

/// Calls `check` every `interval` seconds until it holds or `seconds` have passed.
bool waitFor(const std::function<bool()>& check, double seconds, double interval = 0.1);

/// A copy of /bin/sleep named "claude" in `folder`: ps shows it as the agent. Returns its
/// path ("" when the copy failed). Run it with a long duration.
std::string standInAgent(const std::string& folder);
