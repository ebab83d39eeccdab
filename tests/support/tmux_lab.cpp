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
  if (auto out = tmux({"list-panes", "-a", "-F", "#{pane_pid}"})) {
    for (const auto& line : Text::split(*out, '\n')) {
      long long pid = 0;
      if (Text::parseInt(Text::trim(line), pid) && pid > 0) pids.push_back(pid);
    }
  }
  tmux({"kill-server"});
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

std::optional<std::string> PrivateTmux::tmux(const std::vector<std::string>& args) const {
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
  auto out = tmux(args);
  if (!out) return "";
  started = true;
  return Text::trim(*out);
}

std::string PrivateTmux::paneTty(const std::string& pane) const {
  auto out = tmux({"display-message", "-p", "-t", pane, "#{pane_tty}"});
  return out ? Text::trim(*out) : "";
}

int64_t PrivateTmux::panePid(const std::string& pane) const {
  auto out = tmux({"display-message", "-p", "-t", pane, "#{pane_pid}"});
  long long pid = 0;
  return out && Text::parseInt(Text::trim(*out), pid) ? pid : 0;
}

std::string standInAgent(const std::string& folder) {
  std::string path = folder + "/claude";
  std::error_code ec;
  std::filesystem::copy_file("/bin/sleep", path, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return "";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all, ec);
  return ec ? "" : path;
}
