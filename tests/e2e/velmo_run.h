#pragma once
// Runs the velmo program as a child for end-to-end tests: its own temporary home, its
// standard output readable line by line, stopped (SIGTERM, then SIGKILL) when done.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

class VelmoRun {
 public:
  /// Starts `program` with `args`; `env` entries override (an empty value removes).
  /// With `mergeErrors`, standard error is read through `line` too.
  VelmoRun(const std::string& program, const std::vector<std::string>& args,
           const std::map<std::string, std::string>& env, bool mergeErrors = false);
  ~VelmoRun();
  VelmoRun(const VelmoRun&) = delete;
  VelmoRun& operator=(const VelmoRun&) = delete;

  /// The next line of standard output, waiting at most `seconds`.
  std::optional<std::string> line(double seconds);
  /// Every line until the child closes its output (or `seconds` pass).
  std::string rest(double seconds);
  /// Waits at most `seconds` for the child to exit; its exit status, or none.
  std::optional<int> wait(double seconds);
  void stop();
  pid_t pid() const { return child; }
  /// The child's peak resident memory in kilobytes, once `wait` has seen it exit.
  std::optional<long> peakKilobytes() const { return peak; }

 private:
  pid_t child = -1;
  int out = -1;
  std::string buffer;
  std::optional<int> status;
  std::optional<long> peak;
};

/// This process's environment as NAME=value texts, with `env` laid over it ("" removes a name).
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& env);

/// The environment of a Velmo serving a test home whose agents run in a private tmux server
/// (its socket folder `tmuxDir`), in English.
std::map<std::string, std::string> servedBeside(const std::string& home, const std::string& tmuxDir);

/// Sends raw bytes to 127.0.0.1:port and returns the response's status code (0 on failure).
int httpStatus(int port, const std::string& request, std::string* response = nullptr);
