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

}  // namespace Terminals
