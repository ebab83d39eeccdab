#include "support/tmux_lab.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "base/clock.h"
#include "base/process.h"
#include "base/text.h"
#include "support/home.h"

namespace {

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::optional<std::string>(v) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& value) {
  if (value) ::setenv(name, value->c_str(), 1); else ::unsetenv(name);
}

bool alive(int64_t pid) {
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

PrivateTmux::PrivateTmux()
    : folder(makeTempDir("velmo-tmux")), oldTmpdir(env("TMUX_TMPDIR")), oldTmux(env("TMUX")) {
  ::setenv("TMUX_TMPDIR", folder.c_str(), 1);
  ::unsetenv("TMUX");
}

PrivateTmux::~PrivateTmux() {
  // Every pane's process, also those of windows opened by scripts the test ran.
  if (auto out = run({"list-panes", "-a", "-F", "#{pane_pid}"})) {
    for (const auto& line : Text::split(*out, '\n')) {
      long long pid = 0;
      if (Text::parseInt(Text::trim(line), pid) && pid > 0) pids.push_back(pid);
    }
  }
  run({"kill-server"});
  // The server hangs up on its panes; give them a moment, then make sure.
  double deadline = Clock::monotonic() + 5;
  for (int64_t pid : pids) {
    while (alive(pid) && Clock::monotonic() < deadline) ::usleep(10000);
    if (alive(pid)) ::kill(static_cast<pid_t>(pid), SIGKILL);
  }
  restore("TMUX_TMPDIR", oldTmpdir);
  restore("TMUX", oldTmux);
  removeTree(folder);
}

std::optional<std::string> PrivateTmux::run(const std::vector<std::string>& args) const {
  std::vector<std::string> all{"-u", "-f", "/dev/null"};
  all.insert(all.end(), args.begin(), args.end());
  return Terminals::shell("tmux", all, 10);
}

std::string PrivateTmux::openPane(const std::vector<std::string>& argv) {
  std::vector<std::string> args =
      started ? std::vector<std::string>{"new-window", "-d", "-t", "lab"}
              : std::vector<std::string>{"new-session", "-d", "-s", "lab", "-x", "120", "-y", "40"};
  args.insert(args.end(), {"-P", "-F", "#{pane_id}"});
  args.insert(args.end(), argv.begin(), argv.end());
  auto out = run(args);
  if (!out) return "";
  started = true;
  return Text::trim(*out);
}

std::string PrivateTmux::start(const std::string& session,
                               const std::vector<std::string>& command) const {
  std::vector<std::string> args = {"new-session", "-d", "-s", session, "-x", "120", "-y", "40",
                                   "-P", "-F", "#{pane_id}", "--"};
  args.insert(args.end(), command.begin(), command.end());
  return Text::trim(run(args).value_or(""));
}

std::string PrivateTmux::show(const std::string& pane, const std::string& format) const {
  return Text::trim(run({"display-message", "-p", "-t", pane, format}).value_or(""));
}

std::string PrivateTmux::capture(const std::string& pane) const {
  return run({"capture-pane", "-p", "-J", "-t", pane}).value_or("");
}

void PrivateTmux::kill() const { run({"kill-server"}); }

std::string PrivateTmux::paneTty(const std::string& pane) const { return show(pane, "#{pane_tty}"); }

int64_t PrivateTmux::panePid(const std::string& pane) const {
  long long pid = 0;
  return Text::parseInt(show(pane, "#{pane_pid}"), pid) ? pid : 0;
}

bool waitFor(const std::function<bool()>& check, double seconds, double interval) {
  double deadline = Clock::monotonic() + seconds;
  while (true) {
    if (check()) return true;
    if (Clock::monotonic() >= deadline) return false;
    ::usleep(static_cast<useconds_t>(interval * 1e6));
  }
}

std::string standInAgent(const std::string& folder) {
  std::string path = folder + "/claude";
  std::error_code ec;
  std::filesystem::copy_file("/bin/sleep", path, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return "";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all, ec);
  return ec ? "" : path;
}
