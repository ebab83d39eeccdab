// Every store Velmo keeps must survive its writer dying at any moment: after a kill -9 the
// store reads back whole, holding the content before the write or the one after it, never a
// piece of each, never nothing. store-writer rewrites one store for ever through Velmo's own
// code; this test kills it hundreds of times at random moments and reads what is left.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/caches.h"
#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "control/notify.h"
#include "library/documents.h"
#include "page/muted.h"
#include "relay/relay.h"
#include "search/index.h"
#include "search/titles.h"
#include "spend/ids.h"
#include "spend/store.h"
#include "support/home.h"
#include "support/recording_notifier.h"
#include "terminals/names.h"

extern char** environ;

namespace {

constexpr int kKills = 200;
constexpr int kTraceWrites = 6;
constexpr int kDelayMinMicros = 300;
constexpr int kDelayMaxMicros = 8000;  ///< at least; longer for stores that take longer
constexpr int kDelayCapMicros = 250000;  ///< a loaded machine can take long over one save
// Small enough to write in one go is no test of tearing: each content is at least this large.
constexpr size_t kLeastBytes = 2048;

int kills() {
  const char* v = std::getenv("VELMO_STORE_KILLS");
  int n = v ? std::atoi(v) : 0;
  return n > 0 ? n : kKills;
}

// A folder in memory (none when there is no /dev/shm to write to).
std::optional<std::string> memoryDir() {
  struct stat st {};
  if (::stat("/dev/shm", &st) != 0 || !S_ISDIR(st.st_mode) || ::access("/dev/shm", W_OK) != 0)
    return std::nullopt;
  std::string pattern = "/dev/shm/velmo-kill-XXXXXX";
  if (!::mkdtemp(pattern.data())) return std::nullopt;
  return pattern;
}

// Points Velmo's readers in this process at the writer's home, every memo forgotten.
class PointedHome {
 public:
  explicit PointedHome(const std::string& home) {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "CLAUDE_CONFIG_DIR"})
      if (const char* v = std::getenv(name)) saved[name] = v;
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("CLAUDE_CONFIG_DIR");
    Caches::emptyAll();
  }
  ~PointedHome() {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "CLAUDE_CONFIG_DIR"}) {
      auto it = saved.find(name);
      if (it == saved.end())
        ::unsetenv(name);
      else
        ::setenv(name, it->second.c_str(), 1);
    }
    Caches::emptyAll();
  }
  PointedHome(const PointedHome&) = delete;
  PointedHome& operator=(const PointedHome&) = delete;

 private:
  std::map<std::string, std::string> saved;
};

// ---- the writer ----

struct Writer {
  pid_t pid = -1;
  int in = -1;          ///< its standard input
  int out = -1;         ///< its standard output
  std::string pending;  ///< read past the last line taken
};

Writer spawnWriter(const std::vector<std::string>& args, const std::string& errors) {
  std::vector<std::string> argv = {VELMO_STORE_WRITER};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return {};
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  Writer w;
  if (::posix_spawn(&w.pid, raw[0], &actions, nullptr, raw.data(), environ) != 0) w.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  w.in = toChild[1];
  w.out = fromChild[0];
  return w;
}

// The writer's next line, without its line feed; none when it ended or said nothing in time.
std::optional<std::string> nextLine(Writer& w, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (w.pending.find('\n') == std::string::npos) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    end - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) return std::nullopt;
    pollfd p{w.out, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    char buf[256];
    ssize_t n = ::read(w.out, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    w.pending.append(buf, static_cast<size_t>(n));
  }
  size_t lf = w.pending.find('\n');
  std::string line = w.pending.substr(0, lf);
  w.pending.erase(0, lf + 1);
  return line;
}

bool say(const Writer& w, const std::string& line) {
  std::string text = line + "\n";
  return ::write(w.in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int reap(Writer& w) {
  if (w.in >= 0) ::close(w.in);
  int status = 0;
  ::waitpid(w.pid, &status, 0);
  ::close(w.out);
  w = Writer{};
  return status;
}

// Runs the writer to its end; its exit status, or -1 when it ran past the timeout.
int runToEnd(const std::vector<std::string>& args, const std::string& errors, int timeoutS) {
  Writer w = spawnWriter(args, errors);
  if (w.pid < 0) return -1;
  ::close(w.in);
  w.in = -1;
  for (int i = 0; i < timeoutS * 20; ++i) {
    int status = 0;
    if (::waitpid(w.pid, &status, WNOHANG) == w.pid) {
      ::close(w.out);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(w.pid, SIGKILL);
  reap(w);
  return -1;
}

/// Each store's files, as the writer lists them.
std::map<std::string, std::vector<std::string>> listedStores() {
  std::string dir = makeTempDir("velmo-kill-list");
  std::string listing = dir + "/list";
  std::map<std::string, std::vector<std::string>> out;
  Writer w = spawnWriter({"--list"}, dir + "/errors");
  if (w.pid >= 0) {
    ::close(w.in);
    w.in = -1;
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(w.out, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    reap(w);
    for (const auto& line : Text::split(text, '\n')) {
      auto words = Text::split(line, ' ');
      if (words.size() < 2) continue;
      out[words[0]] = std::vector<std::string>(words.begin() + 1, words.end());
    }
  }
  removeTree(dir);
  return out;
}

// ---- what a store must hold ----

// The spend store names the generation of its counted ids, drawn at random on every save;
// apart from it the store is the same on every pass.
std::string normalized(const std::string& file, std::string bytes) {
  if (Text::endsWith(file, "spend.json"))
    return std::regex_replace(bytes, std::regex("\"idsGeneration\":[0-9]+"), "\"idsGeneration\":0");
  return bytes;
}

nlohmann::json parsed(const std::string& path) {
  return nlohmann::json::parse(Files::read(path).value_or(""), nullptr, false);
}

std::map<std::string, std::string> textMap(const nlohmann::json& j) {
  std::map<std::string, std::string> out;
  if (j.is_object())
    for (const auto& [k, v] : j.items())
      if (v.is_string()) out[k] = v.get<std::string>();
  return out;
}

struct Counts {
  int pairsApart = 0;  ///< spend: the next ids saved, the store not yet (the old pair holds)
};

// Reads a store through Velmo's own reader, in the writer's home; "" when it read whole, else
// what was wrong. Each reader's answer is held against the file as a JSON parser sees it.
using Reader = std::function<std::string(const std::string& home, Counts& counts)>;

std::string notificationsReader(const std::string& home, Counts&) {
  // Reading them is adopting them, which may rewrite the file: adopt a copy.
  std::string scratch = makeTempDir("velmo-kill-adopt");
  std::string copy = scratch + "/velmo-state/notifications.json";
  Files::makeDirectories(scratch + "/velmo-state", 0700);
  Files::writeAtomic(copy,
                     Files::read(home + "/.claude/velmo-state/notifications.json").value_or(""));
  size_t stored = parsed(copy).value("posted", nlohmann::json::object()).size();
  size_t adopted = 0;
  {
    PointedHome pointed(home);
    ::setenv("CLAUDE_CONFIG_DIR", scratch.c_str(), 1);
    Notify::Hooks hooks;
    hooks.owning = [] { return true; };
    hooks.terminals = [] { return std::vector<Terminal>{}; };
    hooks.answering = [](const std::string&) { return false; };
    hooks.background = [](Job job) { job(); };
    hooks.main = [](Job job) { job(); };
    auto notify = Notify::make(std::make_shared<RecordingNotifier>(), hooks);
    notify->setUp();
    adopted = notify->seen().size();
  }
  removeTree(scratch);
  if (stored == 0 || adopted != stored)
    return "adopted " + std::to_string(adopted) + " of " + std::to_string(stored) +
           " notifications";
  return "";
}

std::string spendReader(const std::string& home, Counts& counts) {
  const std::string dir = home + "/.claude/velmo-spend";
  auto text = Files::read(dir + "/spend.json");
  if (!text) return "spend.json is missing";
  auto store = Spend::decodeStore(*text);
  if (!store || store->sessions.empty()) return "spend.json does not read as a store";
  const std::string own = "ids-" + std::to_string(store->idsGeneration) + ".bin";
  auto ids = Files::read(dir + "/" + own);
  if (!ids) return "the ids the store names (" + own + ") are missing";
  if (!Spend::CountedIds::decode(*ids, store->idsGeneration)) return own + " is not whole";
  // Killed between the two saves: the next generation's ids are written, the store still
  // names its own, and those are whole.
  for (const auto& e : Files::list(dir).value_or(std::vector<Files::Entry>{}))
    if (Text::startsWith(e.name, "ids-") && e.name != own && !Text::contains(e.name, ".tmp")) {
      ++counts.pairsApart;
      break;
    }
  return "";
}

const std::map<std::string, Reader>& readers() {
  static const std::map<std::string, Reader> all = {
      {"settings",
       [](const std::string& home, Counts&) -> std::string {
         PointedHome pointed(home);
         auto file = parsed(home + "/.config/velmo/settings.json");
         auto probe = Settings::value("storeProbe");
         if (!probe || !file.is_object() || *probe != file["storeProbe"] || probe->size() != 120)
           return "the settings did not read back whole";
         return "";
       }},
      {"muted",
       [](const std::string& home, Counts&) -> std::string {
         PointedHome pointed(home);
         auto held = Muted::all();
         if (held.size() != 120 || held != textMap(parsed(home + "/.claude/velmo-muted.json")))
           return "read " + std::to_string(held.size()) + " mutes";
         return "";
       }},
      {"names",
       [](const std::string& home, Counts&) -> std::string {
         PointedHome pointed(home);
         auto held = Names::all();
         if (held.size() != 120 || held != textMap(parsed(home + "/.claude/velmo-names.json")))
           return "read " + std::to_string(held.size()) + " names";
         return "";
       }},
      {"renames",
       [](const std::string& home, Counts&) -> std::string {
         PointedHome pointed(home);
         auto held = Names::waiting();
         if (held.size() != 120 || held != textMap(parsed(home + "/.claude/velmo-renames.json")))
           return "read " + std::to_string(held.size()) + " renames";
         return "";
       }},
      {"relay",
       [](const std::string& home, Counts&) -> std::string {
         PointedHome pointed(home);
         auto held = Relay::all();
         if (held.size() != 60 ||
             Relay::encode(held) != Files::read(home + "/.claude/velmo-relay.json"))
           return "read " + std::to_string(held.size()) + " relay records";
         return "";
       }},
      {"titles",
       [](const std::string& home, Counts&) -> std::string {
         PointedHome pointed(home);
         auto file = parsed(home + "/.claude/velmo-titles.json");
         if (!file.is_object() || file.size() != 60) return "the titles file is not whole";
         Titles::load();
         for (const auto& [sid, entry] : file.items())
           if (Titles::known(sid) != entry[1].get<std::string>()) return "no title for " + sid;
         return "";
       }},
      {"index",
       [](const std::string& home, Counts&) -> std::string {
         std::string path = home + "/.claude/velmo-index/manifest.json";
         auto marks = Index::parseManifest(Files::read(path).value_or(""));
         if (marks.size() != 151 || marks.size() != parsed(path).size())
           return "read " + std::to_string(marks.size()) + " index marks";
         return "";
       }},
      {"documents",
       [](const std::string& home, Counts&) -> std::string {
         PointedHome pointed(home);
         for (std::string name : {"release.md", "release.md.gib"}) {
           std::string path = home + "/notes/" + name;
           auto doc = Documents::read(path);
           if (!doc.error.empty() || doc.text.empty() || doc.text != Files::read(path))
             return name + " did not read back: " + doc.error;
         }
         return "";
       }},
      {"notifications", notificationsReader},
      {"spend", spendReader},
  };
  return all;
}

// Names that writers give their temporary files; one left behind marks a kill inside a write.
size_t leftovers(const std::string& home, const std::vector<std::string>& files,
                 std::set<std::string>& seen) {
  size_t fresh = 0;
  std::set<std::string> folders;
  for (const auto& f : files) folders.insert(home + "/" + f.substr(0, f.find_last_of('/')));
  for (const auto& folder : folders)
    for (const auto& e : Files::list(folder).value_or(std::vector<Files::Entry>{}))
      if (Text::contains(e.name, ".tmp") && seen.insert(e.path).second) ++fresh;
  return fresh;
}

std::string describe(const std::string& bytes, const std::set<std::string>& known) {
  std::string out = std::to_string(bytes.size()) + " bytes, known sizes:";
  for (const auto& k : known) {
    size_t same = 0;
    while (same < bytes.size() && same < k.size() && bytes[same] == k[same]) ++same;
    out += " " + std::to_string(k.size()) + " (same for the first " + std::to_string(same) + ")";
  }
  return out;
}

class StoreUnderKill : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST(StoresUnderKill, EveryStoreTheWriterKnowsHasAReader) {
  auto stores = listedStores();
  ASSERT_EQ(stores.size(), readers().size()) << "store-writer --list gave " << stores.size();
  for (const auto& [name, files] : stores) EXPECT_TRUE(readers().count(name)) << name;
}

namespace {

struct Round {
  std::string where;
  int kills = 0;
  size_t insideWrite = 0;  ///< kills that left a temporary file: inside a save
  int changes = 0;         ///< kills after which the store held the other content
  int delayMax = 0;        ///< microseconds
  Counts counts;
  double seconds = 0;
};

// Sets up a home under `root`, learns what the store may hold from a run without kills, then
// kills `round.kills` writers there and reads the store after each.
void killRound(const std::string& name, const std::vector<std::string>& files, const Reader& reader,
               const std::string& root, Round& round) {
  const std::string home = root + "/home";
  const std::string trace = root + "/trace";
  const std::string errors = root + "/writer-errors";
  ASSERT_TRUE(Files::makeDirectories(home, 0700));
  auto started = std::chrono::steady_clock::now();

  // What the store may hold: every content a run without kills leaves after each save.
  ASSERT_EQ(runToEnd({name, home, "--trace", std::to_string(kTraceWrites), trace}, errors, 120), 0)
      << Files::read(errors).value_or("");
  std::map<std::string, std::set<std::string>> known;
  for (const auto& e : Files::list(trace).value_or(std::vector<Files::Entry>{})) {
    for (const auto& file : files) {
      std::string flat = file;
      for (char& c : flat)
        if (c == '/') c = '_';
      if (Text::startsWith(e.name, flat + ".") &&
          e.name.find_first_not_of("0123456789", flat.size() + 1) == std::string::npos)
        known[file].insert(normalized(file, Files::read(e.path).value_or("")));
    }
  }
  for (const auto& file : files) {
    ASSERT_GE(known[file].size(), 2u) << file << ": the writer must alternate two contents";
    for (const auto& k : known[file]) ASSERT_GE(k.size(), kLeastBytes) << file;
  }
  ASSERT_EQ(reader(home, round.counts), "") << "the store does not read back before any kill";

  std::random_device seedSource;
  const unsigned seed = seedSource();
  std::mt19937 random(seed);
  // Kills spread over the first few writes of each writer, however long a write takes.
  long writeMicros = std::atol(Files::read(trace + "/write-micros").value_or("0").c_str());
  round.delayMax =
      static_cast<int>(std::clamp<long>(3 * writeMicros, kDelayMaxMicros, kDelayCapMicros));
  std::uniform_int_distribution<int> delay(kDelayMinMicros, round.delayMax);
  std::set<std::string> temps;
  leftovers(home, files, temps);
  Writer server = spawnWriter({name, home, "--serve"}, errors);
  ASSERT_GE(server.pid, 0);
  // On a failed assertion the server goes too, and with it the writer it forked.
  struct Stop {
    Writer& w;
    ~Stop() {
      if (w.pid > 0) {
        ::kill(w.pid, SIGKILL);
        reap(w);
      }
    }
  } stop{server};
  std::string last = Files::read(home + "/" + files[0]).value_or("");
  const std::string at = " in " + round.where + " (seed " + std::to_string(seed) + ")";
  for (int i = 0; i < round.kills; ++i) {
    // A fresh writer's first save takes longer than the steady ones the trace timed (it loads
    // the store first): while no kill has yet landed in or after a save, reach further.
    if (i > 0 && i % 10 == 0 && round.changes == 0 && round.insideWrite == 0 &&
        round.delayMax < kDelayCapMicros) {
      round.delayMax = std::min(2 * round.delayMax, kDelayCapMicros);
      delay = std::uniform_int_distribution<int>(kDelayMinMicros, round.delayMax);
    }
    // A fork of the server writes; killing it is killing a writer in the middle of its work.
    ASSERT_TRUE(say(server, "go"));
    auto ready = nextLine(server, 30000);
    ASSERT_TRUE(ready && Text::startsWith(*ready, "ready "))
        << "kill " << i << at << ": no writer started: " << Files::read(errors).value_or("");
    const pid_t writer = static_cast<pid_t>(std::atol(ready->c_str() + 6));
    ASSERT_GT(writer, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    ::kill(writer, SIGKILL);
    ASSERT_TRUE(say(server, "reap"));
    auto reaped = nextLine(server, 30000);
    ASSERT_TRUE(reaped && Text::startsWith(*reaped, "reaped "));
    int status = std::atoi(reaped->c_str() + 7);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "kill " << i << at
        << ": the writer ended by itself: " << Files::read(errors).value_or("");
    round.insideWrite += leftovers(home, files, temps);
    std::string first = Files::read(home + "/" + files[0]).value_or("");
    if (first != last) ++round.changes;
    last = first;

    for (const auto& file : files) {
      auto bytes = Files::read(home + "/" + file);
      ASSERT_TRUE(bytes) << "kill " << i << at << ": " << file << " is missing";
      std::string seen = normalized(file, *bytes);
      ASSERT_TRUE(known[file].count(seen))
          << "kill " << i << at << ": " << file
          << " is neither the old content nor the new: " << describe(seen, known[file]);
    }
    ASSERT_EQ(reader(home, round.counts), "") << "kill " << i << at;
  }
  EXPECT_EQ(reap(server), 0);
  round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace

// Half the kills on disk, where a save waits for fsync and most kills land inside one; half
// in memory, where a save is quick and kills land anywhere in the work around it.
TEST_P(StoreUnderKill, ReadsBackWholeAfterEveryKill) {
  const std::string name = GetParam();
  auto stores = listedStores();
  ASSERT_TRUE(stores.count(name)) << "store-writer does not know " << name;
  const std::vector<std::string> files = stores[name];
  const Reader& reader = readers().at(name);

  const int total = kills();
  std::optional<std::string> memory = memoryDir();
  std::vector<std::pair<Round, std::string>> rounds = {
      {Round{"a home on disk", total / 2, 0, 0, 0, {}, 0}, makeTempDir("velmo-kill")},
      {Round{memory ? "a home in memory" : "a second home on disk (no /dev/shm)",
             total - total / 2,
             0,
             0,
             {},
             0},
       memory ? *memory : makeTempDir("velmo-kill")}};
  int changes = 0;
  for (auto& [round, root] : rounds) {
    killRound(name, files, reader, root, round);
    if (HasFatalFailure()) return;  // the folder stays, for a look at what was left
    removeTree(root);
    changes += round.changes;
    std::cout << "[ kills    ] " << name << " in " << round.where << ": " << round.kills
              << " kills in " << round.seconds << " s, " << round.insideWrite
              << " inside a save (a temporary file left), " << round.changes
              << " after a finished save, kills at 0.3 to " << round.delayMax / 1000.0 << " ms";
    if (name == "spend")
      std::cout << ", " << round.counts.pairsApart
                << " with newer ids beside the store (its own pair whole)";
    std::cout << std::endl;
  }
  // A writer stuck before its first save would leave the old content every time.
  EXPECT_GT(changes, 0) << "no writer ever finished a save";
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreUnderKill,
                         ::testing::Values("settings", "muted", "notifications", "relay", "names",
                                           "renames", "titles", "spend", "index", "documents"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });
