#pragma once
// The real agent for integration tests: it runs in panes of a private tmux server and
// talks to the scripted model API of shared/agent-lab, which runs in a pane of the same
// server so it ends with it.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
  /// Starts the scripted API on a free port in a pane of `tmux`, logging to HOME/fake_api.log.
  AgentLab(PrivateTmux& tmux, std::string home);

  /// The agent's executable, installed once into the user's cache; "" when it cannot be had.
  static std::string agentBinary();
  /// Whether the scripted API answers.
  bool ready() const { return port > 0 && answers(port); }
  /// Starts the agent working in `work` in a new window; its pane id, "" on failure.
  std::string start(const std::string& name, const std::string& work,
                    const std::vector<std::string>& args = {});
  std::string screen(const std::string& pane) const;
  /// Waits until the agent's empty input box shows, so it takes what is typed next.
  bool waitForInput(const std::string& pane, double seconds = 60) const;
  /// Types the text literally, then Enter, as a person at the pane would.
  void type(const std::string& pane, const std::string& text) const;
  /// Every request body the agent sent to the API so far.
  std::string apiLog() const;
  const std::string& home() const { return homeDir; }

 private:
  PrivateTmux& tmux;
  std::string homeDir;
  int port = 0;
};
