#pragma once
// Terminals as tabs of the macOS Terminal application, scripted through osascript. Every
// value placed into a script goes through `scriptQuote`, every shell word through
// `shellQuote`, so no value can break out of its place.

#include <string>
#include <vector>

#include "terminals/host.h"

namespace Terminals {

class AppleScriptHost final : public TerminalHost {
 public:
  /// `osascript` is the runner's path (a stand-in in tests).
  explicit AppleScriptHost(std::string osascript = "/usr/bin/osascript");

  std::optional<std::map<std::string, std::string>> titles() override;
  std::optional<std::vector<Screen>> screens() override;
  std::optional<std::string> screen(const std::string& tty) override;
  bool typeLine(const std::string& tty, const std::string& text) override;
  bool typeKeys(const std::string& tty, int moves, const std::string& text) override;
  /// "do script" runs every line of a text as its own command, and the Terminal
  /// application has no paste to script: the lines are typed as one, joined by spaces.
  bool pasteLine(const std::string& tty, const std::string& text) override;
  bool setTitle(const std::string& tty, const std::string& title) override;
  bool raise(const std::string& tty) override;
  bool open(const std::string& cwd, const Launch& what) override;
  void close(const std::string& tty) override;
  bool closeSingle(const std::string& tty) override;
  std::string openFailure(bool forCommand) const override;

  /// The AppleScript expression that types `moves` cursor moves and then `text`.
  static std::string keys(int moves, const std::string& text);
  /// The shell command the open script types into the new tab.
  static std::string openCommand(const std::string& cwd, const Launch& what);

 private:
  /// The script's trimmed result; no value when osascript fails or outlives `timeout`.
  std::optional<std::string> run(const std::string& script, double timeout);
  std::string osascript;
};

}  // namespace Terminals
