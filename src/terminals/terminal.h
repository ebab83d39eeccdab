#pragma once
// One agent process shown in, or attached to, a terminal.

#include <cstdint>
#include <optional>
#include <string>

struct Terminal {
  std::string tty;          ///< device path shown in, such as /dev/pts/3
  std::string slot;         ///< the terminal's number, "003": short label and sort key
  int64_t pid = 0;          ///< the agent process
  double uptime = 0;        ///< seconds the agent process has run
  std::string sessionID;    ///< empty when it cannot be told
  std::string windowTitle;  ///< cleaned title of the terminal, empty when none
  std::optional<bool> waiting;  ///< registry status "waiting"; no value without a registry record
  std::string jobId;        ///< background session's job id
  bool windowless = false;  ///< a background session no terminal has attached to
  std::string status;       ///< registry status text as stored
  std::string recordName;   ///< registry "name"
  std::string modelArg;     ///< the "--model" it was started with, "" when none
};
