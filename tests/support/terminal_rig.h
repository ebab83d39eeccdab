#pragma once
// A whole small world for the state feed and the control protocol: a temporary home, a
// fake clock, scripted screens, and a scripted process list naming agent terminals.

#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "base/caches.h"
#include "base/text.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/scripted_host.h"
#include "terminals/answer.h"
#include "terminals/discover.h"
#include "terminals/picker.h"

struct TerminalRig {
  ScopedHome home;
  FakeClock clock;
  ScriptedHost host;
  std::string ps;  ///< the `ps` listing discovery sees

  TerminalRig() {
    Caches::emptyAll();
    Terminals::installPsRunner([this] { return std::optional<std::string>(ps); });
  }
  ~TerminalRig() {
    Terminals::installPsRunner(nullptr);
    Terminals::setOnScan(nullptr);
    Caches::emptyAll();
  }

  /// An agent process `pid` on /dev/pts/`n` running session `sid`, with a registry record.
  void agent(int pid, int n, const std::string& sid, const std::string& status = "idle",
             const std::string& name = "") {
    ps += std::to_string(pid) + " " + std::to_string(::getuid()) + " pts/" + std::to_string(n) +
          " 00:10 claude\n";
    home.write(".claude/sessions/" + std::to_string(pid) + ".json",
               "{\"pid\":" + std::to_string(pid) + ",\"sessionId\":\"" + sid + "\",\"status\":\"" +
                   status + "\",\"name\":\"" + name + "\"}");
    Caches::emptyAll();
  }
};

/// Screen texts drawn the way the agent draws them.
namespace Screens {

inline std::string border() {
  std::string out;
  for (int i = 0; i < 30; ++i) out += "─";
  return out;
}

inline std::string row(int n, int cursor, const std::string& label) {
  return std::string(n == cursor ? "❯ " : "  ") + std::to_string(n) + ". " + label;
}

/// A single-choice question with a free-text row after the labels.
inline std::string ask(const std::string& question, const std::vector<std::string>& labels,
                       int cursor = 1) {
  std::vector<std::string> rows = {"● Let me check with you first.", border(), question, ""};
  int n = 1;
  for (const auto& l : labels) rows.push_back(row(n, cursor, l)), ++n;
  rows.push_back(row(n, cursor, "Type something."));
  rows.insert(rows.end(), {border(), "  " + std::to_string(n + 1) + ". Chat about this", "",
                           "Enter to select · ↑/↓ to navigate · Esc to cancel"});
  return Text::join(rows, "\n") + "\n";
}

/// A permission prompt for a shell command.
inline std::string permission(int cursor = 1, const std::string& command = "ls -la /tmp") {
  return Text::join({"● I will list the folder.", border(), " Bash command", "", "   " + command,
                     "   List files", "", " Do you want to proceed?", row(1, cursor, "Yes"),
                     row(2, cursor, "Yes, and don't ask again for ls commands in /tmp"),
                     row(3, cursor, "No"), "", " Esc to cancel · Tab to amend"},
                    "\n") +
         "\n";
}

/// The agent waiting for input: its input row is marked with "❯" and a no-break space.
inline std::string idle() {
  return Text::join({"● Done.", border(), "❯\u00a0", border(), "  ? for shortcuts"}, "\n") + "\n";
}

}  // namespace Screens
