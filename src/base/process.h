#pragma once
// The process runner every subsystem uses to run a program and take its output.

#include <optional>
#include <string>
#include <utility>
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

/// Lets one thread end the programs another runs: a run given a stop that is (or becomes)
/// stopped kills its program and everything that program started, at once. Shared by
/// the thread that runs and the one that may stop it; stopping is for good.
class Stop {
 public:
  Stop();
  ~Stop();
  Stop(const Stop&) = delete;
  Stop& operator=(const Stop&) = delete;
  void stop();
  bool stopped() const;
  /// Readable once stopped (for a poll that waits on a program).
  int fd() const { return event; }

 private:
  int event = -1;
};

/// How a program ended and what it wrote, whatever its exit status: for programs such as
/// grep, whose failure status can come with good output (one file of many was missing).
struct Outcome {
  bool finished = false;    ///< it started and exited by itself (not killed, not signalled)
  int status = -1;          ///< its exit status when finished
  std::string output;       ///< standard output, invalid UTF-8 replaced
  std::string errors;       ///< standard error, invalid UTF-8 replaced (only for a `Job`)
  bool timedOut = false;    ///< it outlived its time limit and was killed
  bool stopped = false;     ///< its `Stop` was stopped, and it was killed (or never started)
  std::string launchError;  ///< why it could not be started; "" when it started
};
/// Runs like `shell` and gives the outcome in every case.
Outcome shellOutcome(const std::string& path, const std::vector<std::string>& args,
                     double timeout = 0);

/// A program to run with everything said: for long-running helpers (the agent in one-shot
/// mode) whose input can be large, whose error text is the only word on why they failed,
/// and which may exit before they have read all their input.
struct Job {
  std::string path;
  std::vector<std::string> args;
  std::string input;   ///< written to standard input, which is then closed
  double timeout = 0;  ///< seconds; 0 or less means no limit
  std::string cwd;     ///< "" keeps ours
  /// Set on top of our environment ("NAME", "value").
  std::vector<std::pair<std::string, std::string>> env;
  /// When given and stopped, the program is killed and the outcome says `stopped`.
  const Stop* stop = nullptr;
};
/// Runs a job, pumping input, output and error together so none can block the others.
Outcome run(const Job& job);

/// What the kernel says of a process in /proc/PID/stat.
struct ProcessState {
  char state = '?';          ///< "R", "S", "Z" (ended, not yet waited for), …
  long long parent = 0;      ///< its parent's pid
  long long terminal = 0;    ///< its controlling terminal's device number; 0 for none
  long long foreground = 0;  ///< the foreground process group of that terminal; 0 or -1 for none
  long long startTicks = 0;  ///< when it started, in clock ticks after boot
};
/// The state of the process; no value when it has gone or cannot be read.
std::optional<ProcessState> processState(long long pid);
/// Whether the process runs: it exists and is not a zombie, which has ended all the same
/// although signal 0 still reaches it (a parent gone and a first process that reaps nobody,
/// as in some containers, leave one behind). A process of another user counts.
bool running(long long pid);

}  // namespace Terminals
