#pragma once
// The process runner every subsystem uses to run a program and take its output.

#include <optional>
#include <string>
#include <vector>

namespace Terminals {

/// Runs `path` with `args` (never through a shell), standard error discarded. Returns
/// standard output (invalid UTF-8 replaced) when the program exits with status 0; no
/// value when it cannot start, fails, or outlives `timeout` seconds (then it is killed).
/// A `timeout` of 0 or less means no limit. A bare name is looked up on PATH.
std::optional<std::string> shell(const std::string& path, const std::vector<std::string>& args,
                                 double timeout = 0);

/// The same, with `input` written to the program's standard input.
std::optional<std::string> shellWithInput(const std::string& path,
                                          const std::vector<std::string>& args,
                                          const std::string& input, double timeout = 0);

/// How a program ended and what it wrote, whatever its exit status: for programs such as
/// grep, whose failure status can come with good output (one file of many was missing).
struct Outcome {
  bool finished = false;  ///< it started and exited by itself (not killed, not signalled)
  int status = -1;        ///< its exit status when finished
  std::string output;     ///< standard output, invalid UTF-8 replaced
};
/// Runs like `shell` and gives the outcome in every case.
Outcome shellOutcome(const std::string& path, const std::vector<std::string>& args,
                     double timeout = 0);

}  // namespace Terminals
