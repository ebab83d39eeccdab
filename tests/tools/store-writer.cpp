// store-writer: rewrites one of Velmo's stores through Velmo's own code, as fast as it can,
// for the test that kills it at random moments and then reads what was left.
//
//   store-writer STORE HOME            set up, print "ready", then write for ever
//   store-writer STORE HOME --serve    the same in a fork for each "go" read (see serve)
//   store-writer STORE HOME --trace N OUT
//                                      set up, then N writes; after setting up and after
//                                      each save, copy every file of the store into OUT
//                                      (the contents the store may ever hold), and the
//                                      microseconds one write took into OUT/write-micros
//   store-writer --list                the stores, one a line, with their files
//
// Every store alternates between two large contents that differ all through, so a file cut
// short or spliced from two writes can be told from a whole one. Setting up is idempotent
// and runs again after every kill: it brings a fresh home to the first content and leaves a
// home that holds any content of the cycle as it is, so a restarted writer produces nothing
// that the trace did not.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/caches.h"
#include "base/files.h"
#include "base/text.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/timefmt.h"
#include "control/notify.h"
#include "library/documents.h"
#include "page/muted.h"
#include "relay/relay.h"
#include "search/index.h"
#include "search/titles.h"
#include "spend/account.h"
#include "spend/store.h"
#include "support/fake_clock.h"
#include "support/recording_notifier.h"
#include "terminals/discover.h"
#include "terminals/host.h"
#include "terminals/names.h"

namespace {

// A fixed moment, so whatever a store keeps of the time is the same in every run.
constexpr Clock::Time kNow = 1.8e9;
FakeClock* standingClock = nullptr;
// Called where one write of a store is made of two saves, so the trace holds what lies
// between them too.
std::function<void()> between = [] {};

struct Store {
  std::string name;
  /// The store's files, relative to the home folder.
  std::vector<std::string> files;
  std::function<void()> setUp;
  /// Write number `k`; even numbers write the first content, odd ones the second.
  std::function<void(long k)> write;
  /// For the trace, after the writes: more contents the store may come to hold.
  std::function<void()> more = [] {};
};

std::string home() {
  return Paths::home();
}

// Text that differs from its twin in every line: the twin's letter is in each one.
std::string filler(char variant, int line, size_t width) {
  std::string text = std::string(1, variant) + std::to_string(line) + " ";
  while (text.size() < width) text += variant == 'a' ? "alpha " : "bravo ";
  return text.substr(0, width);
}

std::string sid(const char* stem, int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s-%04d-4c1e-9a7b-%012d", stem, i, i * 7919);
  return buf;
}

// ---- transcripts, for the stores that are worked out from them ----

std::string projectsFolder(const std::string& agentDir) {
  return agentDir + "/projects/-home-dana-shop";
}

std::string reply(const std::string& id, double at, int64_t output, const std::string& text) {
  nlohmann::json usage = {{"input_tokens", 1200},
                          {"cache_creation_input_tokens", 300},
                          {"cache_read_input_tokens", 45000},
                          {"output_tokens", output}};
  nlohmann::json r = {{"parentUuid", nullptr},
                      {"isSidechain", false},
                      {"message",
                       {{"id", id},
                        {"type", "message"},
                        {"role", "assistant"},
                        {"model", "claude-opus-4-5"},
                        {"content", {{{"type", "text"}, {"text", text}}}},
                        {"usage", usage}}},
                      {"type", "assistant"},
                      {"uuid", "u-" + id},
                      {"timestamp", TimeText::iso8601(at)}};
  return r.dump() + "\n";
}

std::string prompt(const std::string& text, double at) {
  return nlohmann::json({{"type", "user"},
                         {"message", {{"role", "user"}, {"content", text}}},
                         {"timestamp", TimeText::iso8601(at)}})
             .dump() +
         "\n";
}

// A conversation of `turns` prompts and replies; the toggled one's short form is a prefix of
// its long form, as a transcript that grows, and going back is a transcript rewritten.
std::string conversation(const std::string& id, int turns) {
  std::string text;
  for (int t = 0; t < turns; ++t) {
    double at = kNow - 7200 + t * 60;
    text += prompt("Please look at step " + std::to_string(t) + " of " + id, at);
    text += reply("msg_" + id.substr(0, 13) + "_" + std::to_string(t), at + 20, 400 + t,
                  "Step " + std::to_string(t) + " is done: " + filler('a', t, 120));
  }
  return text;
}

void writeTranscripts(const std::string& agentDir, int count) {
  Files::makeDirectories(projectsFolder(agentDir));
  for (int i = 0; i < count; ++i) {
    std::string path = projectsFolder(agentDir) + "/" + sid("conv", i) + ".jsonl";
    if (!Files::exists(path)) Files::writeAtomic(path, conversation(sid("conv", i), 4));
  }
}

std::string toggledTranscript() {
  return projectsFolder(Paths::agentDir()) + "/" + sid("grow", 1) + ".jsonl";
}

void toggleTranscript(long k) {
  Files::writeAtomic(toggledTranscript(), conversation(sid("grow", 1), k % 2 ? 6 : 12));
}

// ---- terminals: none, without asking tmux or ps ----

class NoTerminals final : public Terminals::TerminalHost {
 public:
  std::optional<std::map<std::string, std::string>> titles() override { return std::nullopt; }
  std::optional<std::vector<Terminals::Screen>> screens() override { return std::nullopt; }
  std::optional<std::string> screen(const std::string&) override { return std::nullopt; }
  bool typeLine(const std::string&, const std::string&) override { return false; }
  bool pasteLine(const std::string&, const std::string&) override { return false; }
  bool typeKeys(const std::string&, int, const std::string&) override { return false; }
  bool setTitle(const std::string&, const std::string&) override { return false; }
  bool raise(const std::string&) override { return false; }
  bool open(const std::string&, const Terminals::Launch&) override { return false; }
  void close(const std::string&) override {}
  bool closeSingle(const std::string&) override { return false; }
};

// ---- the stores ----

constexpr int kEntries = 120;

Store settings() {
  auto value = [](long k) {
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < kEntries; ++i) list.push_back(filler(k % 2 ? 'b' : 'a', i, 150));
    return list;
  };
  return {"settings",
          {".config/velmo/settings.json"},
          [value] {
            if (!Settings::value("notifyMinWait")) Settings::set("notifyMinWait", 30);
            if (!Settings::value("storeProbe")) Settings::set("storeProbe", value(0));
          },
          [value](long k) { Settings::set("storeProbe", value(k)); }};
}

// Stores of many entries change one entry a write; the others are filled once, each only
// when missing, so filling again after a kill writes nothing new.
Store muted() {
  auto stampOf = [](char variant, int i) {
    return Muted::stamp(kNow - i, "Which of these should run first? " + filler(variant, i, 120));
  };
  return {"muted",
          {".claude/velmo-muted.json"},
          [stampOf] {
            auto held = Muted::all();
            for (int i = 0; i < kEntries; ++i)
              if (!held.count(sid("mute", i))) Muted::set(sid("mute", i), stampOf('a', i));
          },
          [stampOf](long k) { Muted::set(sid("mute", 0), stampOf(k % 2 ? 'b' : 'a', 0)); }};
}

Store names() {
  auto nameOf = [](char variant, int i) { return filler(variant, i, 78); };
  return {"names",
          {".claude/velmo-names.json"},
          [nameOf] {
            for (int i = 0; i < kEntries; ++i)
              if (Names::name(sid("name", i)).empty()) Names::set(nameOf('a', i), sid("name", i));
          },
          [nameOf](long k) { Names::set(nameOf(k % 2 ? 'b' : 'a', 0), sid("name", 0)); }};
}

Store renames() {
  auto nameOf = [](char variant, int i) { return filler(variant, i, 78); };
  return {"renames",
          {".claude/velmo-renames.json"},
          [nameOf] {
            Terminals::installHost(std::make_shared<NoTerminals>());
            Terminals::installPsRunner([] { return std::optional<std::string>(""); });
            auto held = Names::waiting();
            for (int i = 0; i < kEntries; ++i)
              if (!held.count(sid("wait", i))) Names::rename(nameOf('a', i), sid("wait", i), true);
          },
          [nameOf](long k) { Names::rename(nameOf(k % 2 ? 'b' : 'a', 0), sid("wait", 0), true); }};
}

Relay::Store relayStore(char variant) {
  Relay::Store store;
  for (int i = 0; i < kEntries / 2; ++i) {
    Relay::Record r;
    r.stage = variant == 'a' ? "asked" : "ready";
    r.file = "/home/dana/Documents/claude/handoffs/2027-01-15-0800-" + sid("rely", i).substr(0, 8) +
             ".md";
    r.cwd = "/home/dana/shop";
    r.name = filler(variant, i, 60);
    r.at = kNow - i * 60 - (variant == 'a' ? 0 : 30);
    r.pct = variant == 'a' ? 76 : 81;
    if (variant == 'b') r.next = sid("next", i);
    store[sid("rely", i)] = r;
  }
  return store;
}

Store relay() {
  return {"relay",
          {".claude/velmo-relay.json"},
          [] {
            if (Relay::all().empty()) Relay::save(relayStore('a'));
          },
          [](long k) { Relay::save(relayStore(k % 2 ? 'b' : 'a')); }};
}

// The memo of titles only ever grows in use, so the two contents are two whole memos,
// found in two prepared agent folders and loaded from there before each save. Fewer,
// longer titles than elsewhere: finding each one runs grep.
std::string seed(char variant) {
  return home() + "/seed-" + variant;
}

// Into a seed folder with every memo forgotten, so the next load reads that folder's file;
// back home with the memo kept, so the next save writes it here.
void useAgentDir(const std::string& dir) {
  if (dir.empty()) {
    ::unsetenv("CLAUDE_CONFIG_DIR");
    return;
  }
  ::setenv("CLAUDE_CONFIG_DIR", dir.c_str(), 1);
  Caches::emptyAll();
}

Store titles() {
  return {"titles",
          {".claude/velmo-titles.json"},
          [] {
            for (char variant : {'a', 'b'}) {
              if (Files::exists(seed(variant) + "/velmo-titles.json")) continue;
              useAgentDir(seed(variant));
              Files::makeDirectories(projectsFolder(seed(variant)));
              for (int i = 0; i < kEntries / 2; ++i) {
                nlohmann::json title = {{"type", "custom-title"},
                                        {"customTitle", filler(variant, i, 190)},
                                        {"sessionId", sid("ttle", i)}};
                Files::writeAtomic(projectsFolder(seed(variant)) + "/" + sid("ttle", i) + ".jsonl",
                                   prompt("hello", kNow) + title.dump() + "\n");
              }
              Titles::load();
              for (int i = 0; i < kEntries / 2; ++i) Titles::of(sid("ttle", i));
              Titles::save();
            }
            useAgentDir("");
            if (!Files::exists(Paths::agent("velmo-titles.json"))) {
              useAgentDir(seed('a'));
              Titles::load();
              useAgentDir("");
              Titles::save();
            }
          },
          [](long k) {
            useAgentDir(seed(k % 2 ? 'b' : 'a'));
            Titles::load();
            useAgentDir("");
            Titles::save();
          }};
}

Store spend() {
  return {"spend",
          // The ids beside it are named by generation; the reader follows the store's name.
          {".claude/velmo-spend/spend.json"},
          [] {
            writeTranscripts(Paths::agentDir(), 40);
            if (!Files::exists(Spend::storePath())) {
              toggleTranscript(0);
              Spend::refresh(true);
            }
          },
          [](long k) {
            toggleTranscript(k);
            Spend::refresh(true);
          },
          // Counted again from nothing, as a first count does.
          [] {
            for (long k : {1, 0}) {
              ::unlink(Spend::storePath().c_str());
              for (const auto& e : Files::list(Spend::storeDir()).value_or(std::vector<Files::Entry>{}))
                if (Text::startsWith(e.name, "ids")) ::unlink(e.path.c_str());
              Caches::emptyAll();
              toggleTranscript(k);
              Spend::refresh(true);
              between();
            }
          }};
}

Store index() {
  return {"index",
          {".claude/velmo-index/manifest.json"},
          [] {
            writeTranscripts(Paths::agentDir(), 150);
            if (!Files::exists(Index::manifestPath())) {
              toggleTranscript(0);
              Index::refresh(true);
            }
          },
          [](long k) {
            toggleTranscript(k);
            Index::refresh(true);
          }};
}

std::string documentText(char variant) {
  std::string text = "# Release notes\n\n";
  for (int i = 0; i < 240; ++i) text += "- " + filler(variant, i, 130) + "\n";
  return text;
}

Store documents() {
  return {"documents",
          {"notes/release.md", "notes/release.md.gib"},
          [] {
            std::string path = home() + "/notes/release.md";
            Files::makeDirectories(home() + "/notes");
            if (!Files::exists(path)) Files::writeAtomic(path, documentText('a'));
          },
          [](long k) {
            Documents::write(home() + "/notes/release.md", documentText(k % 2 ? 'b' : 'a'));
          }};
}

// Forty terminals, each showing one question of the first set or the second. A write posts
// one set and, once the other has been off the screen long enough, takes it away.
constexpr int kNotifyTerminals = 40;

Terminal terminalAt(int i) {
  Terminal t;
  t.tty = "/dev/pts/" + std::to_string(100 + i);
  t.slot = std::to_string(100 + i);
  t.sessionID = sid("ntfy", i);
  t.recordName = "shop " + std::to_string(i);
  return t;
}

std::vector<Terminals::Picker> questions(char variant) {
  std::vector<Terminals::Picker> out;
  for (int i = 0; i < kNotifyTerminals; ++i) {
    Terminals::Picker p;
    p.tty = terminalAt(i).tty;
    p.question = "Which should come first? " + filler(variant, i, 60);
    p.options = {{"1", "Tests", ""}, {"2", "Docs", ""}, {"3", "Both", ""}};
    p.freeRow = 4;
    out.push_back(p);
  }
  return out;
}

void notifyPass(char variant) {
  standingClock->set(kNow);
  std::vector<Terminal> terms;
  for (int i = 0; i < kNotifyTerminals; ++i) terms.push_back(terminalAt(i));
  Notify::Hooks hooks;
  hooks.owning = [] { return true; };
  hooks.terminals = [terms] { return terms; };
  hooks.answering = [](const std::string&) { return false; };
  hooks.background = [](Job job) { job(); };
  hooks.main = [](Job job) { job(); };
  auto notify = Notify::make(std::make_shared<RecordingNotifier>(), hooks);
  notify->setUp();
  notify->tick(terms, questions(variant));
  between();
  standingClock->advance(5);
  notify->tick(terms, questions(variant));
}

Store notifications() {
  return {"notifications",
          {".claude/velmo-state/notifications.json"},
          [] {
            if (!Files::exists(Notify::storePath())) notifyPass('a');
          },
          [](long k) { notifyPass(k % 2 ? 'b' : 'a'); }};
}

std::vector<Store> stores() {
  return {settings(), muted(),  notifications(), relay(), names(),
          renames(),  titles(), spend(),         index(), documents()};
}

void copyOut(const Store& store, const std::string& out, long step) {
  for (const auto& file : store.files) {
    auto bytes = Files::read(home() + "/" + file);
    if (!bytes) continue;
    std::string flat = file;
    for (char& c : flat)
      if (c == '/') c = '_';
    Files::writeAtomic(out + "/" + flat + "." + std::to_string(step), *bytes);
  }
}

int usage() {
  std::fprintf(stderr,
               "usage: store-writer STORE HOME [--serve | --trace N OUT] | store-writer --list\n");
  return 2;
}

// Forks a writer for each "go" on standard input, so a writer starts in a millisecond rather
// than in the tens a fresh process takes to load its libraries; the fork writes
// "ready PID" and then writes for ever, until it is killed. "reap" waits for it and answers
// "reaped STATUS". The server itself touches no store, so each fork starts cold.
int serve(const Store& store) {
  // A fork has only the thread that forked: had a queue's thread started here, a fork
  // waiting on that queue would wait for ever.
  if (auto tasks = Files::list("/proc/self/task"); tasks && tasks->size() != 1) {
    std::fprintf(stderr, "store-writer: %zu threads before forking\n", tasks->size());
    return 1;
  }
  std::string line;
  pid_t child = -1;
  char c;
  while (::read(STDIN_FILENO, &c, 1) == 1) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line == "go" && child < 0) {
      child = ::fork();
      if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the server
        store.setUp();
        std::string ready = "ready " + std::to_string(::getpid()) + "\n";
        if (::write(STDOUT_FILENO, ready.data(), ready.size()) < 0) ::_exit(1);
        // Starting from either content, the first save changes the store half the time.
        for (long k = ::getpid();; ++k) store.write(k);
      }
    } else if (line == "reap" && child > 0) {
      int status = 0;
      ::waitpid(child, &status, 0);
      child = -1;
      std::string reaped = "reaped " + std::to_string(status) + "\n";
      if (::write(STDOUT_FILENO, reaped.data(), reaped.size()) < 0) return 1;
    }
    line.clear();
  }
  if (child > 0) ::kill(child, SIGKILL);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--list") {
    for (const auto& s : stores()) {
      std::printf("%s", s.name.c_str());
      for (const auto& f : s.files) std::printf(" %s", f.c_str());
      std::printf("\n");
    }
    return 0;
  }
  if (argc != 3 && argc != 4 && argc != 6) return usage();
  std::string name = argv[1];
  ::setenv("HOME", argv[2], 1);
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("CLAUDE_CONFIG_DIR");
  // Spend and the notifications keep times; a clock that stands still keeps them the same.
  FakeClock standing(kNow);
  standingClock = &standing;

  for (const auto& store : stores()) {
    if (store.name != name) continue;
    Files::makeDirectories(Paths::agentDir(), 0700);
    if (argc == 4) {
      if (std::string(argv[3]) != "--serve") return usage();
      return serve(store);
    }
    store.setUp();
    if (argc == 6) {
      if (std::string(argv[3]) != "--trace") return usage();
      long steps = std::atol(argv[4]);
      std::string out = argv[5];
      Files::makeDirectories(out);
      long copies = 0;
      between = [&] { copyOut(store, out, copies++); };
      between();
      double started = Clock::monotonic();
      for (long k = 0; k < steps; ++k) {
        store.write(k);
        between();
      }
      // How long one write takes, so the kills can be spread over a few of them.
      long micros = steps > 0 ? std::lround((Clock::monotonic() - started) * 1e6 / steps) : 0;
      Files::writeAtomic(out + "/write-micros", std::to_string(micros));
      store.more();
      return 0;
    }
    if (::write(STDOUT_FILENO, "ready\n", 6) != 6) return 1;
    for (long k = 0;; ++k) store.write(k);
  }
  std::fprintf(stderr, "store-writer: no store named %s\n", name.c_str());
  return 2;
}
