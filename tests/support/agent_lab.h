#pragma once
// The real agent for integration tests: it runs in panes of a private tmux server and
// talks to the scripted model API of tests/agent-lab, which runs in a pane of the same
// server so it ends with it.

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/tmux_lab.h"

/// A loopback port nobody listens on now (0 when none could be had).
int freePort();
/// Whether something accepts connections on the loopback port.
bool answers(int port);

/// Runs the built velmo with the test's home and tmux server, as a user without a UTF-8
/// locale would, plus any extra "NAME=value" entries; its standard output, or no value.
std::optional<std::string> runVelmo(const std::string& home, const std::string& tmuxDir,
                                    const std::vector<std::string>& args,
                                    const std::vector<std::string>& env = {}, double timeout = 30);
/// `velmo --list` parsed; no value when it failed or printed no JSON.
std::optional<nlohmann::json> velmoList(const std::string& home, const std::string& tmuxDir);

class AgentLab {
 public:
  /// Starts the scripted model API on a free port in a pane of `tmux`; it appends every
  /// request body to HOME/fake_api.log.
  AgentLab(PrivateTmux& tmux, std::string home);

  /// The pinned agent's executable in the user's cache (scripts/install-deps puts it
  /// there); "" when it is not installed.
  static std::string agentBinary();
  /// Why the agent cannot be had, for a test's skip message; "" when it can.
  static std::string whyNoAgent();
  /// Whether the scripted API answers.
  bool ready() const { return port > 0 && answers(port); }
  /// Starts the agent working in `work` in a new window; its pane id, "" on failure.
  std::string start(const std::string& name, const std::string& work,
                    const std::vector<std::string>& args = {});
  /// Folders every later start trusts as well: agents sharing a home rewrite its
  /// ~/.claude.json from what each read when it started, and can drop a folder trusted
  /// just after, which then asks "Is this a project you … trust?" and never takes input.
  void trustAlso(const std::vector<std::string>& folders) { trusted = folders; }
  std::string screen(const std::string& pane) const;
  /// Waits until the agent's empty input box shows, so it takes what is typed next.
  bool waitForInput(const std::string& pane, double seconds = 60) const;
  /// Types the text literally, then Enter, as a person at the pane would.
  void type(const std::string& pane, const std::string& text) const;
  /// Every request body the agent sent to the API so far.
  std::string apiLog() const;
  const std::string& home() const { return homeDir; }
  /// What a program started outside tmux needs to reach the scripted API as the agent of
  /// `start` does ("NAME=value" entries).
  std::vector<std::string> agentEnvironment() const;

 private:
  PrivateTmux& tmux;
  std::string homeDir;
  int port = 0;
  std::vector<std::string> trusted;
};
