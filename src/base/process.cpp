#include "base/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/clock.h"
#include "base/files.h"
#include "base/text.h"

extern char** environ;

namespace Terminals {
namespace {

struct Launch {
  const std::string& path;
  const std::vector<std::string>& args;
  const std::string* input = nullptr;
  double timeout = 0;
  bool captureErrors = false;
  const std::string* cwd = nullptr;
  const std::vector<std::pair<std::string, std::string>>* env = nullptr;
  const Stop* stop = nullptr;
};

// Our environment with the job's names replaced or added.
std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& changes) {
  std::vector<std::string> entries;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    bool replaced = false;
    for (const auto& [name, value] : changes)
      if (entry.size() > name.size() && entry.substr(0, name.size()) == name &&
          entry[name.size()] == '=')
        replaced = true;
    if (!replaced) entries.emplace_back(entry);
  }
  for (const auto& [name, value] : changes) entries.push_back(name + "=" + value);
  return entries;
}

Outcome run(const Launch& job) {
  // Children must not die of SIGPIPE in us when they close their input early.
  static const bool ignored = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)ignored;
  const std::string* input = job.input;
  if (job.stop && job.stop->stopped()) {
    Outcome stopped;
    stopped.stopped = true;
    return stopped;
  }

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  int err[2] = {-1, -1};
  if (job.captureErrors && ::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return {};
  }
  int in[2] = {-1, -1};
  if (input && ::pipe2(in, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    if (err[0] >= 0) ::close(err[0]), ::close(err[1]);
    return {};
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (job.captureErrors)
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  if (input) posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  if (job.cwd && !job.cwd->empty())
    posix_spawn_file_actions_addchdir_np(&actions, job.cwd->c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group, so a time limit ends the program and whatever it started.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(job.path.c_str()));
  for (const auto& a : job.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> envText;
  std::vector<char*> envp;
  char** environment = environ;
  if (job.env && !job.env->empty()) {
    envText = environmentWith(*job.env);
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    environment = envp.data();
  }

  pid_t pid = -1;
  int rc = job.path.find('/') == std::string::npos
               ? posix_spawnp(&pid, job.path.c_str(), &actions, &attr, argv.data(), environment)
               : posix_spawn(&pid, job.path.c_str(), &actions, &attr, argv.data(), environment);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  if (err[1] >= 0) ::close(err[1]);
  if (input) ::close(in[0]);
  if (rc != 0) {
    ::close(out[0]);
    if (err[0] >= 0) ::close(err[0]);
    if (input) ::close(in[1]);
    Outcome failed;
    failed.launchError = Text::systemError(rc);
    return failed;
  }

  // Output, errors and input are pumped together through poll, so a child that writes a
  // lot never blocks on a full pipe while we are still feeding it.
  std::string output, errors;
  size_t written = 0;
  int inFd = input ? in[1] : -1;
  if (inFd >= 0 && input->empty()) {
    ::close(inFd);
    inFd = -1;
  }
  if (inFd >= 0) ::fcntl(inFd, F_SETFL, ::fcntl(inFd, F_GETFL) | O_NONBLOCK);
  const double deadline = job.timeout > 0 ? Clock::monotonic() + job.timeout : 0;
  bool killed = false;
  char buffer[65536];
  int outFd = out[0], errFd = err[0];
  auto drain = [&](int& fd, std::string& into) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      into.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      ::close(fd);
      fd = -1;
    }
  };
  bool stopped = false;
  auto stopNow = [&] {
    ::kill(-pid, SIGKILL);
    killed = stopped = true;
  };
  while (outFd >= 0 || errFd >= 0) {
    pollfd fds[4];
    int n = 0, outAt = -1, errAt = -1, inAt = -1, stopAt = -1;
    if (outFd >= 0) outAt = n, fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) errAt = n, fds[n++] = {errFd, POLLIN, 0};
    if (inFd >= 0) inAt = n, fds[n++] = {inFd, POLLOUT, 0};
    if (job.stop) stopAt = n, fds[n++] = {job.stop->fd(), POLLIN, 0};
    int wait = -1;
    if (deadline > 0) {
      double left = deadline - Clock::monotonic();
      if (left <= 0) {
        ::kill(-pid, SIGKILL);
        killed = true;
        break;
      }
      wait = static_cast<int>(left * 1000) + 1;
    }
    int ready = ::poll(fds, static_cast<nfds_t>(n), wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) continue;
    if (stopAt >= 0 && (fds[stopAt].revents & POLLIN)) {
      stopNow();
      break;
    }
    if (outAt >= 0 && (fds[outAt].revents & (POLLIN | POLLHUP | POLLERR))) drain(outFd, output);
    if (errAt >= 0 && (fds[errAt].revents & (POLLIN | POLLHUP | POLLERR))) drain(errFd, errors);
    if (inAt >= 0 && (fds[inAt].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t put = ::write(inFd, input->data() + written, input->size() - written);
      if (put > 0) written += static_cast<size_t>(put);
      // A child that stopped reading (EPIPE) simply gets no more.
      if (put < 0 && errno != EAGAIN && errno != EINTR) written = input->size();
      if (written >= input->size()) {
        ::close(inFd);
        inFd = -1;
      }
    }
  }
  if (outFd >= 0) ::close(outFd);
  if (errFd >= 0) ::close(errFd);
  if (inFd >= 0) ::close(inFd);

  int status = 0;
  while (true) {
    pid_t r = ::waitpid(pid, &status, (deadline > 0 || job.stop) && !killed ? WNOHANG : 0);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return {};
    if (r == 0) {
      // Output closed but the child lives on: keep honouring the time limit and the stop.
      if (job.stop && job.stop->stopped()) {
        stopNow();
      } else if (deadline > 0 && Clock::monotonic() >= deadline) {
        ::kill(-pid, SIGKILL);
        killed = true;
      } else {
        ::usleep(2000);
      }
    }
  }
  Outcome outcome;
  outcome.finished = !killed && WIFEXITED(status);
  outcome.status = outcome.finished ? WEXITSTATUS(status) : -1;
  outcome.timedOut = killed && !stopped;
  outcome.stopped = stopped;
  outcome.output = Text::validUtf8(output);
  outcome.errors = Text::validUtf8(errors);
  return outcome;
}

std::optional<std::string> outputOnSuccess(Outcome outcome) {
  if (!outcome.finished || outcome.status != 0) return std::nullopt;
  return std::move(outcome.output);
}

}  // namespace

Outcome shellOutcome(const std::string& path, const std::vector<std::string>& args,
                     double timeout) {
  return run(Launch{path, args, nullptr, timeout});
}

std::optional<std::string> shell(const std::string& path, const std::vector<std::string>& args,
                                 double timeout) {
  return outputOnSuccess(run(Launch{path, args, nullptr, timeout}));
}

std::optional<std::string> shellWithInput(const std::string& path,
                                          const std::vector<std::string>& args,
                                          const std::string& input, double timeout) {
  return outputOnSuccess(run(Launch{path, args, &input, timeout}));
}

Outcome run(const Job& job) {
  return run(
      Launch{job.path, job.args, &job.input, job.timeout, true, &job.cwd, &job.env, job.stop});
}

Stop::Stop() : event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Stop::~Stop() {
  if (event >= 0) ::close(event);
}

void Stop::stop() {
  uint64_t one = 1;
  // The counter only grows; a full one (never, in practice) is stopped all the same.
  while (::write(event, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool Stop::stopped() const {
  pollfd p{event, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

std::optional<ProcessState> processState(long long pid) {
  if (pid <= 0) return std::nullopt;
  auto stat = Files::read("/proc/" + std::to_string(pid) + "/stat", int64_t{64} * 1024);
  if (!stat) return std::nullopt;
  // "pid (comm) state ppid …": the command name may hold spaces and parentheses.
  size_t close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  auto fields = Text::split(stat->substr(close + 1), ' ');
  ProcessState out;
  // After the name: state, ppid, pgrp, session, tty_nr, tpgid, … starttime is the 20th.
  if (fields.size() < 20 || fields[0].size() != 1 || !Text::parseInt(fields[1], out.parent) ||
      !Text::parseInt(fields[4], out.terminal) || !Text::parseInt(fields[5], out.foreground) ||
      !Text::parseInt(fields[19], out.startTicks))
    return std::nullopt;
  out.state = fields[0][0];
  return out;
}

bool running(long long pid) {
  if (pid <= 0) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  auto state = processState(pid);
  // Unreadable while signal 0 reached it: still there.
  return !state || (state->state != 'Z' && state->state != 'X');
}

}  // namespace Terminals
