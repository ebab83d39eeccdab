// What counting a year of transcripts costs: a cold harvest of a 1 GB generated corpus by
// Velmo's account (the same work as `velmo --spend`, in a child process of its own), beside
// the npm usage counter ccusage 20.0.24 and a floor that only reads every file once on one
// core and finds the lines holding "output_tokens". Each runs as a child process, so its
// wall time, CPU time and peak memory are its own (wait4). Then a refresh with nothing
// changed, in process and as a second `velmo --spend`.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/caches.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/process.h"
#include "spend/account.h"
#include "spend/spend_command.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr const char* kCcusage = "ccusage@20.0.24";

std::string env(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "bench_spend: %s\n", what.c_str());
  std::exit(1);
}

std::string buildDir() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? "build" : self.parent_path().string();
}

// 1 GB of sessions with a long tail of sizes, sub-agents and a few forks; written once.
std::string corpus() {
  std::string dir = env("VELMO_BENCH_DIR", "/tmp/velmo-bench") + "/spend-1gb";
  if (fs::exists(dir + "/totals.json")) return dir;
  std::string temp = dir + ".tmp-" + std::to_string(::getpid());
  std::printf("writing a 1 GB corpus into %s (once; a few minutes)\n", dir.c_str());
  std::fflush(stdout);
  Files::makeDirectories(temp);
  std::string generator = std::string(VELMO_SOURCE_DIR) + "/bench/gen-corpus";
  if (!Terminals::shell(generator,
                        {temp, "--mb", "1000", "--sessions", "400", "--projects", "12", "--forks",
                         "8", "--seed", "5"},
                        3600))
    fail(generator + " failed");
  std::error_code ec;
  fs::rename(temp, dir, ec);
  if (ec) fail("cannot move " + temp + " to " + dir);
  return dir;
}

struct Measured {
  bool ran = false;
  int status = -1;
  double wall = 0, cpu = 0;
  long peakKB = 0;
  std::string out;
};

// Runs `body` in a child (its standard output captured), and measures the child alone.
Measured measure(const std::function<int()>& body) {
  Measured m;
  char path[] = "/tmp/velmo-bench-out-XXXXXX";
  int outFd = ::mkstemp(path);
  if (outFd < 0) return m;
  std::fflush(stdout);
  double start = Clock::monotonic();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outFd, 1);
    int status = body();
    std::fflush(stdout);
    std::_Exit(status);
  }
  int status = 0;
  struct rusage usage {};
  if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
    m.ran = true;
    m.wall = Clock::monotonic() - start;
    m.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.peakKB = usage.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  m.out = Files::read(path, int64_t{256} << 20).value_or("");
  ::close(outFd);
  ::unlink(path);
  return m;
}

// Runs a program in a child with extra environment and measures it.
Measured measureProgram(const std::vector<std::string>& argv,
                        const std::vector<std::pair<std::string, std::string>>& extra) {
  return measure([&] {
    for (const auto& [k, v] : extra) ::setenv(k.c_str(), v.c_str(), 1);
    ::close(2);
    ::open("/dev/null", O_WRONLY);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    return 127;
  });
}

// One pass over every file: read it in chunks and find the lines holding the marker.
int floorPass(const std::string& projects) {
  static const char kMark[] = "\"output_tokens\"";
  const size_t markLen = sizeof kMark - 1;
  std::vector<char> buffer(1 << 20);
  long long lines = 0, bytes = 0;
  for (const auto& e : fs::recursive_directory_iterator(projects)) {
    if (!e.is_regular_file() || e.path().extension() != ".jsonl") continue;
    int fd = ::open(e.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    size_t have = 0;
    while (true) {
      ssize_t n = ::read(fd, buffer.data() + have, buffer.size() - have);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
      bytes += n;
      auto* last = static_cast<char*>(::memrchr(buffer.data(), '\n', have));
      if (!last) {
        if (have == buffer.size()) have = 0;  // a very long line: nothing of it counts here
        continue;
      }
      const char* p = buffer.data();
      const char* end = last + 1;
      while (p < end) {
        auto* hit =
            static_cast<const char*>(::memmem(p, static_cast<size_t>(end - p), kMark, markLen));
        if (!hit) break;
        ++lines;
        auto* nl = static_cast<const char*>(::memchr(hit, '\n', static_cast<size_t>(end - hit)));
        p = nl + 1;
      }
      size_t used = static_cast<size_t>(end - buffer.data());
      std::memmove(buffer.data(), end, have - used);
      have -= used;
    }
    ::close(fd);
  }
  std::printf("%lld %lld\n", lines, bytes);
  return 0;
}

// A fresh agent folder whose projects are the corpus's, so the account starts empty.
std::string freshHome(const std::string& corpusDir, const std::string& name) {
  std::string home =
      env("VELMO_BENCH_DIR", "/tmp/velmo-bench") + "/" + name + "-" + std::to_string(::getpid());
  fs::remove_all(home);
  Files::makeDirectories(home + "/.claude");
  fs::create_directory_symlink(corpusDir + "/.claude/projects", home + "/.claude/projects");
  return home;
}

constexpr int kRounds = 3;

// The run of median wall time among kRounds.
Measured median(const std::function<Measured()>& once) {
  std::vector<Measured> runs;
  for (int i = 0; i < kRounds; ++i) runs.push_back(once());
  std::sort(runs.begin(), runs.end(),
            [](const Measured& a, const Measured& b) { return a.wall < b.wall; });
  return runs[kRounds / 2];
}

void print(const char* name, const Measured& m) {
  std::printf("%-26s wall %7.3f s   cpu %7.3f s   peak %7.1f MiB\n", name, m.wall, m.cpu,
              static_cast<double>(m.peakKB) / 1024.0);
}

struct Totals {
  int64_t input = 0, output = 0, write = 0, read = 0;
  bool operator==(const Totals&) const = default;
};

void printTotals(const char* name, const Totals& t) {
  std::printf("  %-12s input %" PRId64 "  output %" PRId64 "  cache writes %" PRId64
              "  cache reads %" PRId64 "\n",
              name, t.input, t.output, t.write, t.read);
}

std::string ccusage(const std::string& build) {
  std::string prefix = build + "/ccusage";
  std::string bin = prefix + "/node_modules/.bin/ccusage";
  if (Files::isExecutableFile(bin)) return bin;
  std::printf("installing %s into %s\n", kCcusage, prefix.c_str());
  std::fflush(stdout);
  if (!Terminals::shell("npm", {"install", "--prefix", prefix, "--no-audit", "--no-fund", kCcusage},
                        600) ||
      !Files::isExecutableFile(bin)) {
    std::printf("could not install %s (no network?); going on without it\n", kCcusage);
    return "";
  }
  return bin;
}

}  // namespace

// `bench_spend --harvest HOME`: one cold refresh and one with nothing changed, in this
// process, for a profiler to watch.
int harvestOnly(const std::string& home) {
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("CLAUDE_CONFIG_DIR");
  Caches::emptyAll();
  double t = Clock::monotonic();
  Spend::refresh(true);
  double cold = Clock::monotonic() - t;
  const int times = 20;
  t = Clock::monotonic();
  for (int i = 0; i < times; ++i) Spend::refresh(true);
  std::printf("cold %.3f s, nothing changed %.2f ms\n", cold,
              (Clock::monotonic() - t) * 1000 / times);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--harvest") return harvestOnly(argv[2]);
  std::string dir = corpus();
  std::string build = buildDir();
  Json expected = Json::parse(Files::read(dir + "/totals.json").value_or("{}"), nullptr, false);
  if (expected.is_discarded()) fail("cannot read " + dir + "/totals.json");
  std::printf("corpus: %.0f MB in %d files (%d sessions, %d sub-agents, %zu forks)\n",
              expected["bytes"].get<double>() / 1e6, expected["files"].get<int>(),
              expected["sessions"].get<int>(), expected["subagents"].get<int>(),
              expected["forks"].size());
  Totals exact{expected["total"]["input_tokens"], expected["total"]["output_tokens"],
               expected["total"]["cache_creation_input_tokens"],
               expected["total"]["cache_read_input_tokens"]};

  double load[3] = {0, 0, 0};
  if (::getloadavg(load, 3) > 0)
    std::printf(
        "load average %.2f (on %ld cores): other work shares them, so each figure is the "
        "median of %d runs\n",
        load[0], ::sysconf(_SC_NPROCESSORS_ONLN), kRounds);
  // Warm the page cache once, so every contender reads from memory alike.
  measure([&] { return floorPass(dir + "/.claude/projects"); });

  Measured floor =
      median([&] { return measure([&] { return floorPass(dir + "/.claude/projects"); }); });

  std::string home = freshHome(dir, "spend-home");
  double noChange = -1;
  Measured cold = median([&] {
    fs::remove_all(home + "/.claude/velmo-spend");
    return measure([&] {
      ::setenv("HOME", home.c_str(), 1);
      ::unsetenv("CLAUDE_CONFIG_DIR");
      Caches::emptyAll();
      Spend::refresh(true);
      Json report = Spend::spendReport();
      // The refresh with nothing changed, in the same process with its store in memory.
      std::vector<double> times;
      for (int i = 0; i < 5; ++i) {
        double t = Clock::monotonic();
        Spend::refresh(true);
        times.push_back(Clock::monotonic() - t);
      }
      std::sort(times.begin(), times.end());
      report["noChangeSeconds"] = times[times.size() / 2];
      report["readOnSecond"] = Spend::account().figures().read;
      std::puts(report.dump().c_str());
      return 0;
    });
  });
  Json ours = Json::parse(cold.out, nullptr, false);
  Totals velmo;
  if (!ours.is_discarded()) {
    for (const auto& [model, c] : ours["models"].items()) {
      velmo.input += c["input"].get<int64_t>();
      velmo.output += c["output"].get<int64_t>();
      velmo.write += c["write5"].get<int64_t>() + c["write1h"].get<int64_t>();
      velmo.read += c["read"].get<int64_t>();
    }
    noChange = ours.value("noChangeSeconds", -1.0);
  }

  // The program itself, cold and then again with nothing changed (its store on disk).
  std::string binHome = freshHome(dir, "spend-bin-home");
  std::vector<std::pair<std::string, std::string>> binEnv = {
      {"HOME", binHome}, {"CLAUDE_CONFIG_DIR", binHome + "/.claude"}, {"VELMO_LANG", "en"}};
  Measured binCold = median([&] {
    fs::remove_all(binHome + "/.claude/velmo-spend");
    return measureProgram({build + "/velmo", "--spend"}, binEnv);
  });
  Measured binAgain = median([&] { return measureProgram({build + "/velmo", "--spend"}, binEnv); });

  Measured cc;
  Totals theirs;
  std::string ccBin = ccusage(build);
  if (!ccBin.empty()) {
    cc = median([&] {
      return measureProgram({ccBin, "daily", "--offline", "--json"},
                            {{"CLAUDE_CONFIG_DIR", dir + "/.claude"}});
    });
    Json j = Json::parse(cc.out, nullptr, false);
    if (!j.is_discarded() && j.contains("totals")) {
      const Json& t = j["totals"];
      theirs = {t.value("inputTokens", int64_t{0}), t.value("outputTokens", int64_t{0}),
                t.value("cacheCreationTokens", int64_t{0}), t.value("cacheReadTokens", int64_t{0})};
    } else {
      std::printf("ccusage gave no totals (exit %d)\n", cc.status);
    }
  }

  std::printf("\n");
  print("floor (1 core, read+find)", floor);
  print("velmo cold harvest", cold);
  print("velmo --spend (program)", binCold);
  if (cc.ran) print("ccusage daily --offline", cc);
  std::printf(
      "\nrefresh with nothing changed: %.2f ms in process (%d logs read); "
      "%.1f ms as a second velmo --spend\n",
      noChange * 1000, ours.is_discarded() ? -1 : ours.value("readOnSecond", -1),
      binAgain.wall * 1000);
  std::printf("\nratios: velmo wall / floor wall %.2f", cold.wall / floor.wall);
  if (cc.ran && cold.cpu > 0)
    std::printf("; ccusage cpu / velmo cpu %.1fx; ccusage wall / velmo wall %.1fx",
                cc.cpu / cold.cpu, cc.wall / cold.wall);
  std::printf("\n\ntotals (all models):\n");
  printTotals("exact", exact);
  printTotals("velmo", velmo);
  if (cc.ran) printTotals("ccusage", theirs);
  std::printf("velmo %s the generator's exact totals\n",
              velmo == exact ? "equals" : "DIFFERS FROM");
  if (cc.ran)
    std::printf("ccusage %s the exact totals%s\n", theirs == exact ? "equals" : "differs from",
                theirs.output < exact.output ? " (it undercounts output)" : "");
  std::printf(
      "\naims: cold wall <= floor wall: %s; cpu >= 4x less than ccusage: %s; "
      "peak < 32 MiB: %s; no-change refresh < 10 ms: %s\n",
      cold.wall <= floor.wall ? "met" : "missed",
      !cc.ran ? "not measured" : (cc.cpu >= 4 * cold.cpu ? "met" : "missed"),
      cold.peakKB < 32 * 1024 ? "met" : "missed",
      noChange >= 0 && noChange < 0.010 ? "met" : "missed");
  fs::remove_all(home);
  fs::remove_all(binHome);
  return 0;
}
