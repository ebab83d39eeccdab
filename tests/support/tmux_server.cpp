#include "support/tmux_server.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/process.h"
#include "base/text.h"
#include "support/home.h"

namespace {
std::optional<std::string> getenvOpt(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::optional<std::string>(v) : std::nullopt;
}
void restore(const char* name, const std::optional<std::string>& value) {
  if (value)
    ::setenv(name, value->c_str(), 1);
  else
    ::unsetenv(name);
}
}  // namespace

PrivateTmux::PrivateTmux()
    : dir(makeTempDir("velmo-tmux")),
      oldTmpdir(getenvOpt("TMUX_TMPDIR")),
      oldTmux(getenvOpt("TMUX")),
      oldPane(getenvOpt("TMUX_PANE")) {
  ::setenv("TMUX_TMPDIR", dir.c_str(), 1);
  ::unsetenv("TMUX");
  ::unsetenv("TMUX_PANE");
}

PrivateTmux::~PrivateTmux() {
  kill();
  restore("TMUX_TMPDIR", oldTmpdir);
  restore("TMUX", oldTmux);
  restore("TMUX_PANE", oldPane);
  removeTree(dir);
}

std::optional<std::string> PrivateTmux::run(const std::vector<std::string>& args) const {
  return Terminals::shell("tmux", args, 10);
}

std::string PrivateTmux::start(const std::string& session,
                               const std::vector<std::string>& command) const {
  std::vector<std::string> args = {"new-session", "-d", "-s", session, "-x",         "120",
                                   "-y",          "40", "-P", "-F",    "#{pane_id}", "--"};
  args.insert(args.end(), command.begin(), command.end());
  return Text::trim(run(args).value_or(""));
}

std::string PrivateTmux::show(const std::string& pane, const std::string& format) const {
  return Text::trim(run({"display-message", "-p", "-t", pane, format}).value_or(""));
}

std::string PrivateTmux::capture(const std::string& pane) const {
  return run({"capture-pane", "-p", "-J", "-t", pane}).value_or("");
}

void PrivateTmux::kill() const {
  run({"kill-server"});
}

bool waitFor(const std::function<bool()>& check, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    if (check()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}
