// What a board left open costs while nothing changes. Twenty stand-in agents run in a
// private tmux server (a few asking with a picker on screen, a few working, the rest
// quiet); Velmo shows them in its window under Xvfb and in a headless chromium on
// `velmo --serve`. Each view is opened in turn (the rack, a conversation, search, the
// agents, the book, the artifacts, the questions, usage, a document in the reader) and left
// alone; over each quiet spell it prints the CPU share (of one core) of Velmo, of the
// children it reaps (tmux), and of the page's processes, and Velmo's own CPU per scan
// (a scan every 1.5 s). Prints figures; asserts nothing. The window's views open by its
// keys (xdotool); the browser's by the page's own messages (playwright-core).
//
//   bench_idle [--seconds N] [--settle N] [--velmo PATH] [--only window|browser]
//              [--load resting|working] [--views rack,chat,…] [--shared-ps]
//
// The run re-executes itself in a PID namespace of its own where `unshare` allows, so
// agents that other programs on the machine run never reach the board (--shared-ps keeps
// the machine's process list). VELMO_WEB_ACCEL is passed through to the window.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "support/home.h"
#include "support/tmux_lab.h"
#include "support/transcripts.h"

extern char** environ;

namespace {

constexpr int kAgents = 20;
constexpr int kAsking = 3;
constexpr int kWorking = 4;
constexpr const char* kAloneMark = "VELMO_IDLE_ALONE";

struct Options {
  double seconds = 60;
  // Long enough for the first paints and for a row's short motion after a change to end.
  double settle = 12;
  std::string velmo = VELMO_BINARY;
  std::string only;
  std::string load;
  std::vector<std::string> views = {"rack",  "chat", "search", "crew",  "book",
                                    "works", "asks", "spend",  "reader"};
  bool sharedPs = false;
};

constexpr double kScanSeconds = 1.5;
constexpr double kViewSettle = 5;  // a view's first paints and any motion after opening

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    std::optional<std::string> v;
    if (a == "--shared-ps") {
      o.sharedPs = true;
      continue;
    }
    if (!(v = value())) return std::nullopt;
    if (a == "--seconds")
      o.seconds = std::atof(v->c_str());
    else if (a == "--settle")
      o.settle = std::atof(v->c_str());
    else if (a == "--velmo")
      o.velmo = *v;
    else if (a == "--only")
      o.only = *v;
    else if (a == "--load")
      o.load = *v;
    else if (a == "--views")
      o.views = Text::split(*v, ',');
    else
      return std::nullopt;
  }
  if (o.seconds <= 0 || o.settle < 0) return std::nullopt;
  return o;
}

// ---- processes ----

struct Ticks {
  std::string name;
  pid_t parent = 0;
  long long own = 0;     // utime + stime
  long long reaped = 0;  // cutime + cstime: children already waited for
  bool zombie = false;
};

std::optional<Ticks> ticksOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t open = text.find('('), close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return std::nullopt;
  Ticks t;
  t.name = text.substr(open + 1, close - open - 1);
  std::istringstream rest(text.substr(close + 2));
  std::vector<std::string> f{std::istream_iterator<std::string>(rest), {}};
  // Fields from the third on: state is f[0], ppid f[1], utime f[11] … cstime f[14].
  if (f.size() < 15) return std::nullopt;
  t.zombie = f[0] == "Z";
  t.parent = static_cast<pid_t>(std::atoll(f[1].c_str()));
  t.own = std::atoll(f[11].c_str()) + std::atoll(f[12].c_str());
  t.reaped = std::atoll(f[13].c_str()) + std::atoll(f[14].c_str());
  return t;
}

std::string commandLine(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::replace(text.begin(), text.end(), '\0', ' ');
  return text;
}

std::map<pid_t, Ticks> everyProcess() {
  std::map<pid_t, Ticks> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
    std::string name = e.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = static_cast<pid_t>(std::atoll(name.c_str()));
    if (auto t = ticksOf(pid)) out[pid] = *t;
  }
  return out;
}

bool descends(pid_t pid, pid_t from, const std::map<pid_t, Ticks>& all) {
  for (int hops = 0; hops < 64 && pid > 1; ++hops) {
    if (pid == from) return true;
    auto it = all.find(pid);
    if (it == all.end()) return false;
    pid = it->second.parent;
  }
  return pid == from;
}

/// A program started in a process group of its own, its output going to a file.
struct Child {
  pid_t pid = -1;
  std::string log;

  int in = -1;  ///< the child's standard input, when it was given a pipe

  Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
        std::string logPath, bool pipeIn = false)
      : log(std::move(logPath)) {
    std::map<std::string, std::string> all;
    for (char** e = environ; *e; ++e) {
      std::string kv = *e;
      if (auto eq = kv.find('='); eq != std::string::npos)
        all[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env) all[k] = v;
    std::vector<std::string> envText;
    for (const auto& [k, v] : all) envText.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& s : envText) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argText = argv;
    for (auto& s : argText) args.push_back(s.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int fds[2] = {-1, -1};
    if (pipeIn && ::pipe2(fds, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
      in = fds[1];
    } else {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    if (posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (fds[0] >= 0) ::close(fds[0]);
  }

  /// Writes a line to the child's standard input.
  bool send(const std::string& line) {
    std::string text = line + "\n";
    return in >= 0 && ::write(in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  ~Child() { stop(); }

  std::string said() const { return Files::read(log).value_or(""); }

  /// The whole group: the wrappers (dbus-run-session, xvfb-run) and what they started.
  /// Wrappers may end before what they started, so this waits for every member: the next
  /// run must not meet this Velmo still holding the control socket.
  void stop() {
    if (in >= 0) ::close(in);
    in = -1;
    if (pid <= 0) return;
    auto ended = [&] {
      // Orphans of the group come to this process when it runs as the namespace's first.
      while (::waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      return ::kill(-pid, 0) != 0;
    };
    ::kill(-pid, SIGTERM);
    if (!waitFor(ended, 10, 0.05)) {
      ::kill(-pid, SIGKILL);
      waitFor(ended, 5, 0.05);
    }
    pid = -1;
  }
};

// ---- the agents' home ----

using namespace Records;

std::string sessionOf(int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "6d0c%04d-1a2b-4c3d-8e9f-0a1b2c3d4e5f", i);
  return buf;
}

/// Transcripts for one load: `working` of the quiet ones end mid-turn a moment ago.
void writeTranscripts(const ScopedHome& home, int working) {
  Clock::Time now = Clock::now();
  Clock::Time longAgo = now - 2 * 86400;
  for (int i = 0; i < kAgents; ++i) {
    std::string sid = sessionOf(i);
    std::string project = "-work-project-" + std::to_string(i % 5);
    std::vector<Json> records = {customTitle("Task " + std::to_string(i)),
                                 user("Please look at part " + std::to_string(i), longAgo - 60)};
    if (i < kAsking) {
      records.push_back(assistant(
          Json::array(
              {text("Let me check with you first."),
               askCall(Json::array({question("Which colour should the login button be?", "Colour",
                                             {{"Blue", "Matches the brand palette"},
                                              {"Green", "Reads as go"},
                                              {"Orange", "Stands out the most"}})}))}),
          now - 300, "claude-opus-4-5", 12, 90000));
    } else if (i < kAsking + working) {
      records.push_back(assistant(
          Json::array({text("Running the tests."), toolUse("Bash", {{"command", "make test"}})}),
          now - 2, "claude-opus-4-5", 12, 120000));
    } else {
      records.push_back(assistant(Json::array({text("Done: every check passes.")}), longAgo,
                                  "claude-sonnet-4-5", 12, 40000));
    }
    writeTranscript(home, sid, lines(records), project);
  }
}

bool startAgents(const ScopedHome& home, PrivateTmux& tmux, const std::string& screen) {
  std::string claude = standInAgent(tmux.dir());
  if (claude.empty()) return false;
  for (int i = 0; i < kAgents; ++i) {
    // An asking agent's pane shows its picker; exec keeps the pid the registry names.
    std::vector<std::string> argv =
        i < kAsking ? std::vector<std::string>{"/bin/sh", "-c", "cat \"$0\"; exec \"$1\" 100000",
                                               screen, claude}
                    : std::vector<std::string>{claude, "100000"};
    std::string pane = tmux.openPane(argv);
    int64_t pid = pane.empty() ? 0 : tmux.panePid(pane);
    if (pid <= 0) return false;
    home.write(".claude/sessions/" + std::to_string(pid) + ".json",
               nlohmann::json{{"sessionId", sessionOf(i)},
                              {"pid", pid},
                              {"cwd", "/work/project-" + std::to_string(i % 5)},
                              {"status", i < kAsking ? "waiting" : "idle"}}
                   .dump());
  }
  // The stand-ins that print a screen must have reached their exec before discovery.
  return waitFor(
      [&] {
        auto panes = tmux.run({"list-panes", "-a", "-F", "#{pane_current_command}"});
        if (!panes) return false;
        size_t n = 0, at = 0;
        while ((at = panes->find("claude", at)) != std::string::npos) ++n, ++at;
        return n >= static_cast<size_t>(kAgents);
      },
      10);
}

// ---- one measurement ----

struct Share {
  double velmo = 0, reaped = 0, page = 0, rest = 0;
  int pages = 0;
  bool ok = false;
  std::string why;
};

/// Which processes are the page's and which the rest of its browser or view.
enum class Role { velmo, page, rest, none };

using Classify = std::function<Role(pid_t, const Ticks&, const std::map<pid_t, Ticks>&)>;

Share measure(pid_t velmo, const Classify& roleOf, double seconds) {
  Share s;
  auto before = everyProcess();
  double start = Clock::monotonic();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  auto after = everyProcess();
  double elapsed = Clock::monotonic() - start;
  double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  auto share = [&](long long ticks) { return 100.0 * static_cast<double>(ticks) / tick / elapsed; };

  auto v0 = before.find(velmo), v1 = after.find(velmo);
  if (v0 == before.end() || v1 == after.end()) {
    s.why = "Velmo exited during the run";
    return s;
  }
  s.velmo = share(v1->second.own - v0->second.own);
  s.reaped = share(v1->second.reaped - v0->second.reaped);
  std::set<pid_t> pages;
  for (const auto& [pid, t] : after) {
    if (pid == velmo || t.zombie) continue;
    Role role = roleOf(pid, t, after);
    if (role == Role::none || role == Role::velmo) continue;
    auto was = before.find(pid);
    long long ticks = t.own - (was != before.end() ? was->second.own : 0);
    if (role == Role::page) {
      s.page += share(ticks);
      pages.insert(pid);
    } else {
      s.rest += share(ticks);
    }
  }
  s.pages = static_cast<int>(pages.size());
  s.ok = true;
  return s;
}

bool waitForText(const Child& c, const std::string& text, double seconds) {
  return waitFor([&] { return c.said().find(text) != std::string::npos; }, seconds, 0.2);
}

std::string firstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// A view's figures, or why there are none.
struct ViewShare {
  std::string view;
  Share share;
};

/// Every view with the same reason for having no figures.
std::vector<ViewShare> noFigures(const std::vector<std::string>& views, const std::string& why) {
  std::vector<ViewShare> out;
  for (const auto& v : views) out.push_back({v, Share{0, 0, 0, 0, 0, false, why}});
  return out;
}

std::string documentOf(const ScopedHome& home) {
  return home.path() + "/Documents/claude/notes.md";
}

void writeDocument(const ScopedHome& home) {
  std::string text = "# Notes\n\nWhat the board shows, and what it costs while nothing moves.\n\n";
  for (int i = 1; i <= 40; ++i)
    text += "- item " + std::to_string(i) + ": a line of **bold**, `code` and a [link](https://example.com)\n";
  Files::makeDirectories(home.path() + "/Documents/claude");
  Files::writeAtomic(documentOf(home), text);
}

/// Opens every view in turn with `open`, leaves it for the spell, measures and closes it.
std::vector<ViewShare> eachView(const std::vector<std::string>& views,
                                const std::function<bool(const std::string&)>& open,
                                const std::function<void(const std::string&)>& close,
                                const std::function<std::string()>& shown,
                                const std::function<Share()>& measureNow) {
  std::vector<ViewShare> out;
  for (const auto& view : views) {
    ViewShare v{view, {}};
    std::string showing;
    if (!open(view)) {
      v.share.why = "could not open it";
    } else if (!waitFor([&] { return (showing = shown()) == view; }, 15, 0.3)) {
      v.share.why = "the page shows " + showing;
      close(view);
    } else {
      std::this_thread::sleep_for(std::chrono::duration<double>(kViewSettle));
      v.share = measureNow();
      close(view);
      std::this_thread::sleep_for(std::chrono::duration<double>(1.0));
    }
    out.push_back(v);
  }
  return out;
}

std::vector<ViewShare> windowRun(const Options& o, const ScopedHome& home,
                                 const std::string& scratch, const std::vector<std::string>& views) {
  Child xvfb({"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {},
             scratch + "/xvfb.log");
  std::string display;
  waitFor(
      [&] {
        std::string n = Text::trim(firstLine(xvfb.said()));
        if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos) return false;
        display = ":" + n;
        return true;
      },
      20, 0.1);
  auto failed = [&](const std::string& why) { return noFigures(views, why); };
  if (display.empty()) return failed("Xvfb gave no display");
  std::map<std::string, std::string> env = {{"HOME", home.path()},
                                            {"XDG_CONFIG_HOME", home.path() + "/.config"},
                                            {"VELMO_LANG", "en"},
                                            {"DISPLAY", display},
                                            {"VELMO_WINDOW_TRACE", scratch + "/trace.jsonl"}};
  // A private session bus: the window registers its application name there, so a Velmo
  // the user runs is not asked to take over; a second start hands its file to this one.
  Child app({"dbus-run-session", "--", "sh", "-c",
             "echo \"bus=$DBUS_SESSION_BUS_ADDRESS\"; exec \"$0\"", o.velmo},
            env, scratch + "/window.log");
  if (app.pid <= 0 || !waitForText(app, "page: painted", 60))
    return failed("the window painted nothing: " + firstLine(app.said()));
  std::string said = app.said();
  std::string bus = firstLine(said.substr(said.find("bus=") + 4));
  auto all = everyProcess();
  pid_t velmo = -1;
  for (const auto& [pid, t] : all)
    if (t.name == "velmo" && descends(pid, app.pid, all)) velmo = pid;
  if (velmo <= 0) return failed("no velmo process under the window's wrappers");
  auto tool = [&](const std::vector<std::string>& argv) {
    return Terminals::shell("env", [&] {
      std::vector<std::string> a = {"DISPLAY=" + display, "DBUS_SESSION_BUS_ADDRESS=" + bus,
                                    "HOME=" + home.path(),
                                    "XDG_CONFIG_HOME=" + home.path() + "/.config"};
      a.insert(a.end(), argv.begin(), argv.end());
      return a;
    }(), 30);
  };
  auto window = tool({"xdotool", "search", "--onlyvisible", "--name", "^Velmo$"});
  std::string xid = window ? Text::trim(firstLine(*window)) : "";
  if (xid.empty()) return failed("xdotool found no window (is xdotool installed?)");
  tool({"xdotool", "mousemove", "--window", xid, "400", "300"});
  auto key = [&](const std::string& k) { return tool({"xdotool", "key", k}).has_value(); };
  std::this_thread::sleep_for(std::chrono::duration<double>(o.settle));

  static const std::map<std::string, std::string> toggles = {
      {"crew", "ctrl+g"}, {"book", "ctrl+b"}, {"works", "ctrl+y"}, {"asks", "ctrl+i"},
      {"spend", "ctrl+j"}};
  return eachView(
      views,
      [&](const std::string& v) {
        if (v == "rack") return true;
        if (v == "chat") return key("alt+Down");
        if (v == "search") return key("ctrl+f");
        if (v == "reader") return tool({o.velmo, documentOf(home)}).has_value();
        auto t = toggles.find(v);
        return t != toggles.end() && key(t->second);
      },
      [&](const std::string& v) {
        if (v == "chat" || v == "search") key("ctrl+l");
        if (v == "reader") key("ctrl+shift+w");
        if (auto t = toggles.find(v); t != toggles.end()) key(t->second);
      },
      [&] {
        // The window writes what its page shows on SIGUSR1.
        std::string trace = scratch + "/trace.jsonl";
        size_t before = Files::read(trace).value_or("").size();
        ::kill(velmo, SIGUSR1);
        std::string view;
        waitFor(
            [&] {
              std::string text = Files::read(trace).value_or("");
              if (text.size() <= before) return false;
              for (const auto& line : Text::split(text.substr(before), '\n')) {
                auto j = nlohmann::json::parse(line, nullptr, false);
                if (j.is_object() && j.contains("page") && j["page"].is_object())
                  view = j["page"].value("view", "");
              }
              return !view.empty();
            },
            5, 0.05);
        return view;
      },
      [&] {
        return measure(
            velmo,
            [&](pid_t pid, const Ticks& t, const std::map<pid_t, Ticks>& now) {
              // The X server draws what the view paints; dbus and the wrappers sleep.
              if (pid == xvfb.pid) return Role::rest;
              if (!descends(pid, app.pid, now)) return Role::none;
              if (descends(pid, velmo, now))
                return t.name.rfind("WebKitWebProces", 0) == 0 ? Role::page : Role::rest;
              return Role::none;
            },
            o.seconds);
      });
}

std::vector<ViewShare> browserRun(const Options& o, const ScopedHome& home,
                                  const std::string& scratch,
                                  const std::vector<std::string>& views) {
  std::map<std::string, std::string> env = {{"HOME", home.path()},
                                            {"XDG_CONFIG_HOME", home.path() + "/.config"},
                                            {"VELMO_LANG", "en"},
                                            {"DISPLAY", ""},
                                            {"WAYLAND_DISPLAY", ""}};
  Child app({o.velmo, "--serve", "--no-open"}, env, scratch + "/serve.log");
  auto failed = [&](const std::string& why) { return noFigures(views, why); };
  // The address is the first line of standard output; notes on standard error may come
  // before it in the shared log.
  std::string url;
  waitFor(
      [&] {
        std::string said = "\n" + app.said();
        size_t at = said.find("\nhttp");
        if (at == std::string::npos) return false;
        url = firstLine(said.substr(at + 1));
        return true;
      },
      20, 0.1);
  if (url.rfind("http", 0) != 0) return failed("velmo --serve printed no address: " + firstLine(app.said()));
  Child driver({"node", VELMO_SOURCE_DIR "/tests/bench/idle-driver.mjs", url}, {},
               scratch + "/driver.log", true);
  if (driver.pid <= 0 || !waitForText(app, "page: painted", 60))
    return failed("chromium never painted the page: " + firstLine(driver.said()));
  std::this_thread::sleep_for(std::chrono::duration<double>(o.settle));
  size_t answered = 0;
  auto post = [&](const nlohmann::json& m) {
    if (!driver.send(m.dump())) return false;
    ++answered;
    return waitFor(
        [&] {
          std::string said = driver.said();
          size_t n = 0, at = 0;
          while ((at = said.find("ok\n", at)) != std::string::npos) ++n, ++at;
          return n >= answered;
        },
        10, 0.05);
  };
  static const std::map<std::string, std::string> toggles = {
      {"crew", "agents"}, {"book", "book"}, {"works", "works"}, {"asks", "asks"},
      {"spend", "spend"}};
  return eachView(
      views,
      [&](const std::string& v) {
        if (v == "rack") return true;
        if (v == "chat") return post({{"act", "open"}, {"sid", sessionOf(kAgents - 1)}});
        if (v == "search") return post({{"act", "searchOpen"}});
        if (v == "reader")
          return post({{"act", "openDoc"}, {"path", documentOf(home)}, {"reader", true}});
        auto t = toggles.find(v);
        return t != toggles.end() && post({{"act", t->second}});
      },
      [&](const std::string& v) {
        if (v == "chat" || v == "search") post({{"act", "back"}});
        if (v == "reader") post({{"act", "closeDoc"}});
        if (auto t = toggles.find(v); t != toggles.end()) post({{"act", t->second}});
      },
      [&] {
        size_t before = driver.said().size();
        driver.send("?");
        std::string view;
        waitFor(
            [&] {
              std::string said = driver.said();
              size_t at = said.find("view ", before);
              if (at == std::string::npos || said.find('\n', at) == std::string::npos) return false;
              view = firstLine(said.substr(at + 5));
              return true;
            },
            5, 0.05);
        return view;
      },
      [&] {
        return measure(
            app.pid,
            [&](pid_t pid, const Ticks&, const std::map<pid_t, Ticks>& now) {
              if (!descends(pid, driver.pid, now)) return Role::none;
              return commandLine(pid).find("--type=renderer") != std::string::npos ? Role::page
                                                                                   : Role::rest;
            },
            o.seconds);
      });
}

void print(const char* shell, const char* load, const ViewShare& v, const char* pageName) {
  const Share& s = v.share;
  if (!s.ok) {
    std::printf("%-8s %-8s %-7s skipped: %s\n", shell, load, v.view.c_str(), s.why.c_str());
    return;
  }
  // At rest Velmo's own time is its scans: one every 1.5 s.
  double perScan = s.velmo / 100 * kScanSeconds * 1000;
  std::printf(
      "%-8s %-8s %-7s velmo %5.2f%% (%4.1f ms/scan)  reaped %5.2f%%  %s %5.2f%% (%d)  "
      "rest %5.2f%%  board %5.2f%%\n",
      shell, load, v.view.c_str(), s.velmo, perScan, s.reaped, pageName, s.page, s.pages, s.rest,
      s.velmo + s.reaped + s.page + s.rest);
  std::fflush(stdout);
}

/// Re-runs this program in a PID namespace of its own, when the machine allows one.
void goAlone(int argc, char** argv) {
  if (std::getenv(kAloneMark)) return;
  if (!Terminals::shell("unshare", {"-pf", "--mount-proc", "true"}, 10)) {
    std::printf("note: no PID namespace here; agents other programs run may show on the board\n");
    return;
  }
  ::setenv(kAloneMark, "1", 1);
  std::vector<std::string> words = {"unshare", "-pf", "--mount-proc", "--kill-child"};
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  words.push_back(n > 0 ? std::string(self, static_cast<size_t>(n)) : argv[0]);
  for (int i = 1; i < argc; ++i) words.push_back(argv[i]);
  std::vector<char*> args;
  for (auto& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  std::fflush(stdout);
  ::execvp("unshare", args.data());
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parse(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: bench_idle [--seconds N] [--settle N] [--velmo PATH] "
                 "[--only window|browser] [--load resting|working] [--views rack,chat,…] "
                 "[--shared-ps]\n");
    return 2;
  }
  if (!options->sharedPs) goAlone(argc, argv);

  ScopedHome home;
  PrivateTmux tmux;
  std::string screen = VELMO_SOURCE_DIR "/bench/fixtures/ask-screen.txt";
  if (!startAgents(home, tmux, screen)) {
    std::fprintf(stderr, "bench_idle: could not start the stand-in agents\n");
    return 1;
  }
  std::string scratch = makeTempDir("velmo-idle");
  std::printf(
      "%d stand-in agents (%d asking, %d working in the second load), %.0f s each, "
      "CPU %% of one core; velmo: %s\n",
      kAgents, kAsking, kWorking, options->seconds, options->velmo.c_str());
  writeDocument(home);
  bool haveX = Terminals::shell("sh",
                                {"-c",
                                 "command -v Xvfb && command -v dbus-run-session && "
                                 "command -v xdotool"},
                                5)
                   .has_value();
  bool haveChromium =
      Terminals::shell("sh", {"-c", "command -v chromium && command -v node"}, 5).has_value();

  for (const char* load : {"resting", "working"}) {
    if (!options->load.empty() && options->load != load) continue;
    for (const char* shell : {"window", "browser"}) {
      if (!options->only.empty() && options->only != shell) continue;
      // Fresh stamps each time, so the working sessions read as busy for the whole run.
      writeTranscripts(home, std::string(load) == "working" ? kWorking : 0);
      // The working load shows only on the rack: the views above it paint the same rows.
      std::vector<std::string> views = options->views;
      if (std::string(load) == "working") views = {"rack"};
      auto skipped = [&](const std::string& why) { return noFigures(views, why); };
      bool window = std::string(shell) == "window";
      std::vector<ViewShare> shares;
      if (window)
        shares = haveX ? windowRun(*options, home, scratch, views)
                       : skipped("Xvfb, dbus-run-session or xdotool is not installed");
      else
        shares = haveChromium ? browserRun(*options, home, scratch, views)
                              : skipped("chromium or node is not installed");
      for (const auto& v : shares) print(shell, load, v, window ? "web" : "renderer");
    }
  }
  removeTree(scratch);
  return 0;
}
