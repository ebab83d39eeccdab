#include "base/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "base/clock.h"
#include "base/text.h"

extern char** environ;

namespace Terminals {
namespace {

Outcome run(const std::string& path, const std::vector<std::string>& args, const std::string* input,
            double timeout) {
  // Children must not die of SIGPIPE in us when they close their input early.
  static const bool ignored = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)ignored;

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  int in[2] = {-1, -1};
  if (input && ::pipe2(in, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return {};
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  if (input) posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group, so a time limit ends the program and whatever it started.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = path.find('/') == std::string::npos
               ? posix_spawnp(&pid, path.c_str(), &actions, &attr, argv.data(), environ)
               : posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  if (input) ::close(in[0]);
  if (rc != 0) {
    ::close(out[0]);
    if (input) ::close(in[1]);
    return {};
  }

  // Output and input are pumped together through poll, so a child that writes a lot
  // never blocks on a full pipe while we are still feeding it.
  std::string output;
  size_t written = 0;
  int inFd = input ? in[1] : -1;
  if (inFd >= 0 && input->empty()) {
    ::close(inFd);
    inFd = -1;
  }
  if (inFd >= 0) ::fcntl(inFd, F_SETFL, ::fcntl(inFd, F_GETFL) | O_NONBLOCK);
  const double deadline = timeout > 0 ? Clock::monotonic() + timeout : 0;
  bool killed = false;
  char buffer[65536];
  int outFd = out[0];
  while (outFd >= 0) {
    pollfd fds[2];
    int n = 0;
    fds[n++] = {outFd, POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
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
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t got = ::read(outFd, buffer, sizeof buffer);
      if (got > 0) {
        output.append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(outFd);
        outFd = -1;
      }
    }
    if (n == 2 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t put = ::write(inFd, input->data() + written, input->size() - written);
      if (put > 0) written += static_cast<size_t>(put);
      if (put < 0 && errno != EAGAIN && errno != EINTR) written = input->size();
      if (written >= input->size()) {
        ::close(inFd);
        inFd = -1;
      }
    }
  }
  if (outFd >= 0) ::close(outFd);
  if (inFd >= 0) ::close(inFd);

  int status = 0;
  while (true) {
    pid_t r = ::waitpid(pid, &status, deadline > 0 && !killed ? WNOHANG : 0);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return {};
    if (r == 0) {
      // Output closed but the child lives on: keep honouring the time limit.
      if (Clock::monotonic() >= deadline) {
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
  outcome.output = Text::validUtf8(output);
  return outcome;
}

std::optional<std::string> outputOnSuccess(Outcome outcome) {
  if (!outcome.finished || outcome.status != 0) return std::nullopt;
  return std::move(outcome.output);
}

}  // namespace

Outcome shellOutcome(const std::string& path, const std::vector<std::string>& args,
                     double timeout) {
  return run(path, args, nullptr, timeout);
}

std::optional<std::string> shell(const std::string& path, const std::vector<std::string>& args,
                                 double timeout) {
  return outputOnSuccess(run(path, args, nullptr, timeout));
}

std::optional<std::string> shellWithInput(const std::string& path,
                                          const std::vector<std::string>& args,
                                          const std::string& input, double timeout) {
  return outputOnSuccess(run(path, args, &input, timeout));
}

}  // namespace Terminals
