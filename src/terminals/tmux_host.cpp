#include "terminals/tmux_host.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>

#include "base/files.h"
#include "base/process.h"
#include "base/settings.h"
#include "base/text.h"
#include "terminals/launch.h"
#include "terminals/quoting.h"

namespace Terminals {
namespace {

// Reads get 4 seconds; anything that changes a terminal gets longer, but never forever.
constexpr double kWriteLimit = 10;

int number(const std::string& text) {
  long long n = 0;
  return Text::parseInt(Text::trim(text), n) ? static_cast<int>(n) : 0;
}

// Appends one tmux command to a chain; tmux runs the commands of one invocation in order.
void chain(std::vector<std::string>& args, std::initializer_list<std::string> command) {
  if (!args.empty()) args.push_back(";");
  args.insert(args.end(), command.begin(), command.end());
}

// A header marker no screen will contain by chance: it changes with every dump.
std::string freshMarker() {
  static std::atomic<uint64_t> counter{std::random_device{}()};
  uint64_t v = counter.fetch_add(0x9E3779B97F4A7C15ull);
  static const char* digits = "0123456789abcdef";
  std::string out = "<<T";
  for (int i = 0; i < 16; ++i) out += digits[(v >> (i * 4)) & 15];
  return out + ">>";
}

std::string envOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

}  // namespace

const char* const TmuxHost::kPaneFormat =
    "#{pane_id}\t#{pane_tty}\t#{window_id}\t#{window_panes}\t#{session_id}\t#{session_attached}";

TmuxHost::TmuxHost(std::vector<std::string> tmuxArgs) : prefix(std::move(tmuxArgs)) {}

std::optional<std::string> TmuxHost::tmux(const std::vector<std::string>& args, double timeout) {
  // -u: without a UTF-8 locale tmux prints every tab and non-ASCII character of a
  // format as "_", which breaks the tab-separated listings and every title.
  std::vector<std::string> all{"-u"};
  all.insert(all.end(), prefix.begin(), prefix.end());
  all.insert(all.end(), args.begin(), args.end());
  return shell("tmux", all, timeout);
}

std::string TmuxHost::literal(const std::string& value) {
  if (!Text::endsWith(value, ";")) return value;
  return value.substr(0, value.size() - 1) + "\\;";
}

std::vector<TmuxHost::Pane> TmuxHost::parsePanes(const std::string& listing) {
  std::vector<Pane> out;
  for (const auto& line : Text::split(listing, '\n')) {
    auto f = Text::split(line, '\t', false);
    if (f.size() < 6 || f[0].empty() || !Text::startsWith(f[1], "/dev/")) continue;
    out.push_back({f[0], f[1], f[2], number(f[3]), f[4], number(f[5])});
  }
  return out;
}

std::optional<std::vector<TmuxHost::Pane>> TmuxHost::panes() {
  auto out = tmux({"list-panes", "-a", "-F", kPaneFormat});
  if (!out) return std::nullopt;
  return parsePanes(*out);
}

std::optional<TmuxHost::Pane> TmuxHost::paneOf(const std::string& tty) {
  auto all = panes();
  if (!all) return std::nullopt;
  for (const auto& p : *all)
    if (p.tty == tty) return p;
  return std::nullopt;
}

std::map<std::string, std::string> TmuxHost::parseTitles(const std::string& listing) {
  std::map<std::string, std::string> out;
  for (const auto& line : Text::split(listing, '\n')) {
    auto parts = Text::split(line, '\t', false);
    if (parts.size() < 3 || parts[0].empty()) continue;
    // A title the user gave through Velmo wins over what the program in the pane set.
    out[parts[0]] = !parts[1].empty() ? parts[1] : parts[2];
  }
  return out;
}

std::optional<std::map<std::string, std::string>> TmuxHost::titles() {
  auto out = tmux({"list-panes", "-a", "-F", "#{pane_tty}\t#{@velmo_title}\t#{pane_title}"});
  if (!out) return std::nullopt;
  return parseTitles(*out);
}

std::optional<std::vector<Screen>> TmuxHost::screens() {
  // Screens are read every few seconds and the panes seldom change, so a dump goes by the
  // panes of the last one and ends with a fresh listing: one tmux run a read, not two. A
  // pane that closed fails the whole dump, and a listing that differs shows one opened;
  // either way the dump is taken again by the fresh list.
  std::vector<std::string> ids;
  {
    std::lock_guard<std::mutex> guard(knownLock);
    ids = knownPanes;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (ids.empty()) {
      auto all = panes();
      if (!all || all->empty()) return std::nullopt;
      for (const auto& p : *all) ids.push_back(p.id);
    }
    std::string marker = freshMarker();
    std::vector<std::string> args;
    for (const auto& id : ids) {
      chain(args, {"display-message", "-p", "-t", id, marker + "#{pane_tty}|W|#{window_id}"});
      chain(args, {"capture-pane", "-p", "-J", "-t", id});
    }
    chain(args, {"list-panes", "-a", "-F", marker + "=#{pane_id}"});
    auto out = tmux(args);
    if (!out) {
      ids.clear();
      continue;
    }
    size_t listing = out->find(marker + "=");
    std::vector<std::string> now;
    for (size_t at = listing; at != std::string::npos; at = out->find(marker + "=", at)) {
      at += marker.size() + 1;
      now.push_back(out->substr(at, out->find('\n', at) - at));
    }
    {
      std::lock_guard<std::mutex> guard(knownLock);
      knownPanes = now;
    }
    if (now != ids) {
      ids = now;
      if (ids.empty()) return std::nullopt;
      continue;
    }
    return splitDump(out->substr(0, listing), marker);
  }
  return std::nullopt;
}

std::optional<std::string> TmuxHost::screen(const std::string& tty) {
  auto all = panes();
  if (!all) return std::nullopt;
  for (const auto& p : *all)
    if (p.tty == tty) return tmux({"capture-pane", "-p", "-J", "-t", p.id});
  return std::string("<<none>>");
}

std::optional<std::string> TmuxHost::styledScreen(const std::string& tty) {
  auto all = panes();
  if (!all) return std::nullopt;
  for (const auto& p : *all)
    if (p.tty == tty) return tmux({"capture-pane", "-p", "-e", "-J", "-t", p.id});
  return std::string("<<none>>");
}

bool TmuxHost::pasteLine(const std::string& tty, const std::string& text) {
  auto pane = paneOf(tty);
  if (!pane) return false;
  // The text goes through a file: a command line to the tmux server is limited to a few
  // kilobytes, a message is not. The file is the user's alone and gone when done.
  std::string dir = envOr("TMPDIR", "/tmp");
  std::string path = Files::join(dir, "velmo-paste-XXXXXX");
  int fd = ::mkstemp(path.data());
  if (fd < 0) return false;
  bool written = true;
  for (size_t done = 0; written && done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0)
      written = false;
    else
      done += static_cast<size_t>(n);
  }
  ::close(fd);
  bool ok = false;
  if (written) {
    std::string buffer = "velmo-" + freshMarker().substr(3, 16);
    std::vector<std::string> args;
    chain(args, {"load-buffer", "-b", buffer, "--", literal(path)});
    // -p wraps the text in bracketed-paste marks when the agent asked for them, so its line
    // breaks are text; -r keeps them line feeds, where tmux would send carriage returns,
    // which any program reads as Enter.
    chain(args, {"paste-buffer", "-d", "-p", "-r", "-b", buffer, "-t", pane->id});
    chain(args, {"send-keys", "-t", pane->id, "Enter"});
    ok = tmux(args, kWriteLimit).has_value();
  }
  ::unlink(path.c_str());
  return ok;
}

bool TmuxHost::typeLine(const std::string& tty, const std::string& text) {
  return typeKeys(tty, 0, text);
}

bool TmuxHost::typeKeys(const std::string& tty, int moves, const std::string& text) {
  auto pane = paneOf(tty);
  if (!pane) return false;
  std::vector<std::string> args;
  if (moves != 0) {
    args = {"send-keys", "-t", pane->id};
    for (int i = 0; i < std::abs(moves); ++i) args.push_back(moves < 0 ? "Up" : "Down");
  }
  // -l types the text as it stands (no key names), "--" keeps a leading "-" from
  // reading as an option.
  if (!text.empty()) chain(args, {"send-keys", "-t", pane->id, "-l", "--", literal(text)});
  chain(args, {"send-keys", "-t", pane->id, "Enter"});
  return tmux(args, kWriteLimit).has_value();
}

bool TmuxHost::setTitle(const std::string& tty, const std::string& title) {
  auto pane = paneOf(tty);
  if (!pane) return false;
  std::vector<std::string> args;
  if (title.empty()) {
    chain(args, {"set-option", "-p", "-u", "-t", pane->id, "@velmo_title"});
    chain(args, {"set-option", "-w", "-t", pane->id, "automatic-rename", "on"});
  } else {
    chain(args, {"set-option", "-p", "-t", pane->id, "--", "@velmo_title", literal(title)});
    chain(args, {"rename-window", "-t", pane->id, "--", literal(title)});
  }
  return tmux(args, kWriteLimit).has_value();
}

std::vector<std::string> TmuxHost::emulatorCommand(const std::string& setting,
                                                   const std::string& environment,
                                                   const std::vector<std::string>& tmuxArgs,
                                                   const std::string& target) {
  // The setting may carry the emulator's own options ("kitty --single-instance"); its
  // words are split here and never read by a shell.
  std::vector<std::string> words = Text::split(setting, ' ');
  if (words.empty()) words = Text::split(environment, ' ');
  if (words.empty()) words = {"x-terminal-emulator"};
  words.push_back("-e");
  words.push_back("tmux");
  words.insert(words.end(), tmuxArgs.begin(), tmuxArgs.end());
  words.insert(words.end(), {"attach", "-t", target});
  return words;
}

// Starts the user's terminal emulator attached to the session, where there is a desktop.
void TmuxHost::showSession(const std::string& session) {
  if (envOr("DISPLAY", "").empty() && envOr("WAYLAND_DISPLAY", "").empty()) return;
  launchDetached(
      emulatorCommand(Settings::text("terminalCommand"), envOr("TERMINAL", ""), prefix, session));
}

namespace {

// Brings the desktop window of the terminal emulator that runs `clientPid` to the front:
// the emulator is the nearest ancestor process that owns a window. Needs xdotool and an
// X display; elsewhere this quietly does nothing.
void activateEmulator(long long clientPid) {
  if (envOr("DISPLAY", "").empty()) return;
  long long pid = clientPid;
  for (int depth = 0; depth < 8 && pid > 1; ++depth) {
    auto found = shell("xdotool", {"search", "--pid", std::to_string(pid)}, 2);
    if (found) {
      auto ids = Text::split(*found, '\n');
      if (!ids.empty()) {
        shell("xdotool", {"windowactivate", Text::trim(ids.back())}, 2);
        return;
      }
    }
    auto state = processState(pid);
    if (!state) return;
    pid = state->parent;
  }
}

}  // namespace

bool TmuxHost::raise(const std::string& tty) {
  auto pane = paneOf(tty);
  if (!pane) return false;
  std::vector<std::string> args;
  chain(args, {"select-window", "-t", pane->id});
  chain(args, {"select-pane", "-t", pane->id});
  if (!tmux(args)) return false;

  // The client to bring along: one already showing the session, else the one used last.
  struct Client {
    long long activity = 0;
    std::string name;
    long long pid = 0;
    std::string session;
  };
  std::vector<Client> clients;
  if (auto out = tmux({"list-clients", "-F",
                       "#{client_activity}\t#{client_name}\t#{client_pid}\t#{session_id}"})) {
    for (const auto& line : Text::split(*out, '\n')) {
      auto f = Text::split(line, '\t', false);
      if (f.size() < 4) continue;
      Client c;
      Text::parseInt(f[0], c.activity);
      c.name = f[1];
      Text::parseInt(f[2], c.pid);
      c.session = f[3];
      clients.push_back(c);
    }
  }
  if (clients.empty()) {
    showSession(pane->session);
    return true;
  }
  auto showing = std::find_if(clients.begin(), clients.end(),
                              [&](const Client& c) { return c.session == pane->session; });
  if (showing == clients.end()) {
    showing =
        std::max_element(clients.begin(), clients.end(),
                         [](const Client& a, const Client& b) { return a.activity < b.activity; });
    tmux({"switch-client", "-c", showing->name, "-t", pane->id});
  }
  activateEmulator(showing->pid);
  return true;
}

bool TmuxHost::open(const std::string& cwd, const Launch& what) {
  if (what.argv.empty()) return false;
  // A server started from inside an agent session carries its session variables, which
  // would make the new agent think it is that session's child.
  std::vector<std::string> command = {"env", "-u", "CLAUDE_CODE_SESSION_ID", "-u",
                                      "CLAUDE_CODE_CHILD_SESSION"};
  if (what.userShell) {
    command.insert(command.end(), {envOr("SHELL", "/bin/sh"), "-i", "-c", shellLine(what.argv)});
  } else {
    command.insert(command.end(), what.argv.begin(), what.argv.end());
  }
  const std::string format = "#{pane_id}\t#{session_id}\t#{session_attached}";
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"-P", "-F", format, "-c", literal(cwd), "--"});
    for (const auto& word : command) args.push_back(literal(word));
    return tmux(args, kWriteLimit);
  };
  auto out = run({"new-window"});
  if (!out) out = run({"new-session", "-d", "-s", "velmo"});
  if (!out) return false;
  auto f = Text::split(Text::trim(*out), '\t', false);
  if (f.size() >= 3 && number(f[2]) == 0) showSession(f[1]);
  return true;
}

void TmuxHost::close(const std::string& tty) {
  auto all = panes();
  if (!all) return;
  std::vector<std::string> args;
  for (const auto& p : *all)
    if (p.tty == tty) chain(args, {"kill-pane", "-t", p.id});
  if (!args.empty()) tmux(args);
}

bool TmuxHost::closeSingle(const std::string& tty) {
  auto pane = paneOf(tty);
  if (!pane || pane->windowPanes != 1) return false;
  return tmux({"kill-window", "-t", pane->window}).has_value();
}

std::optional<std::string> TmuxHost::lastingId(const std::string& tty) {
  auto pane = paneOf(tty);
  if (!pane) return std::nullopt;
  return pane->id;
}

std::optional<TerminalHost::Occupant> TmuxHost::occupant(const std::string& id) {
  auto out = tmux({"display-message", "-p", "-t", id, "#{pane_id}\t#{pane_pid}"});
  if (!out) return std::nullopt;
  auto f = Text::split(Text::trim(*out), '\t', false);
  if (f.size() < 2 || f[0] != id) return std::nullopt;
  Occupant o;
  o.first = number(f[1]);
  // The kernel names the terminal's foreground group in the state of any process on it.
  if (auto state = processState(o.first)) o.foreground = state->foreground;
  return o;
}

TerminalHost::Closed TmuxHost::closeSingleById(const std::string& id) {
  // tmux fails to find a pane id that has gone; a server that has gone took it along.
  auto out = tmux({"display-message", "-p", "-t", id, "#{pane_id}\t#{window_id}\t#{window_panes}"});
  if (!out) return Closed::gone;
  auto f = Text::split(Text::trim(*out), '\t', false);
  if (f.size() < 3 || f[0] != id) return Closed::gone;
  if (number(f[2]) != 1) return Closed::kept;
  if (tmux({"kill-window", "-t", f[1]}, kWriteLimit)) return Closed::window;
  // The pane can close by itself between the two calls (the program it ran ended), and
  // then its window is not there to kill: that is gone, not kept.
  auto again = tmux({"display-message", "-p", "-t", id, "#{pane_id}"});
  return again && Text::trim(*again) == id ? Closed::kept : Closed::gone;
}

}  // namespace Terminals
