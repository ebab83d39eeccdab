// What the search index and word search cost at scale. On a generated 1 GB corpus of
// transcripts: building the index from nothing (wall, CPU, peak memory) beside a plain
// read of the same files; a refresh with nothing changed; then a common, a rare and an
// absent word over that index and over 1 GB of shards, beside `grep -rci` over the same
// shards and beside grep run the plain way (-m 12, one batch at a time). Each measurement
// runs in its own child process, so its peak memory is its own.
#include "search/search.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/caches.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/process.h"
#include "search/index.h"
#include "support/transcripts.h"

namespace fs = std::filesystem;

namespace {

const char* kCommon = "login";
const char* kRare = "zanzibar";
const char* kAbsent = "xylophone";
constexpr int64_t kShardBytes = 1000LL * 1000 * 1000;

std::string env(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "bench_search: %s\n", what.c_str());
  std::exit(1);
}

std::string benchDir() {
  return env("VELMO_BENCH_DIR", "/tmp/velmo-bench");
}

// The 1 GB corpus, written once; a folder appears under its final name only when whole.
std::string corpus() {
  std::string dir = benchDir() + "/search-1gb";
  if (!fs::exists(dir + "/.claude/projects")) {
    std::string temp = dir + ".tmp-" + std::to_string(::getpid());
    std::string generator = std::string(VELMO_SOURCE_DIR) + "/bench/gen-corpus";
    std::printf("writing a 1 GB corpus into %s (a few minutes)\n", dir.c_str());
    std::fflush(stdout);
    Files::makeDirectories(temp);
    if (!Terminals::shell(generator, {temp, "--mb", "1000", "--sessions", "2000", "--projects",
                                      "12", "--seed", "12"}))
      fail(generator + " failed");
    std::error_code ec;
    fs::rename(temp, dir, ec);
    if (ec) fail("cannot move " + temp + " to " + dir);
  }
  // The generated talk uses a few dozen words; a rare word is planted in three
  // conversations of their own.
  std::string folder = dir + "/.claude/projects/-home-dana-atlas";
  for (int i = 0; i < 3; ++i) {
    std::string path = folder + "/rare-" + std::to_string(i) + ".jsonl";
    if (fs::exists(path)) continue;
    Files::makeDirectories(folder);
    Files::writeAtomic(path, Records::lines({Records::user(
                                 std::string("the trip to ") + kRare + " is booked", 1.79e9 + i)}));
  }
  return dir;
}

long statusKB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

double cpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Figures {
  double wall = 0;  // seconds, median of the runs
  double worst = 0;
  double cpu = 0;  // seconds of this process and its children, per run
  long peakKB = 0;
  long count = 0;  // what the work found, to show it did something
};

// Runs `work` `runs` times in a child process whose agent folder is `home`/.claude;
// `before` runs once there first, untimed.
Figures measure(const std::string& home, int runs, const std::function<long()>& work,
                const std::function<void()>& before = {}) {
  int fds[2];
  if (::pipe(fds) != 0) fail("pipe failed");
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    ::close(fds[0]);
    ::setenv("CLAUDE_CONFIG_DIR", (home + "/.claude").c_str(), 1);
    Caches::emptyAll();
    if (before) before();
    Figures f;
    std::vector<double> walls;
    double cpu0 = cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN);
    for (int run = 0; run < runs; ++run) {
      double start = Clock::monotonic();
      f.count = work();
      walls.push_back(Clock::monotonic() - start);
    }
    f.cpu = (cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN) - cpu0) / runs;
    f.wall = median(walls);
    f.worst = *std::max_element(walls.begin(), walls.end());
    f.peakKB = statusKB("VmHWM:");
    ssize_t written = ::write(fds[1], &f, sizeof f);
    ::_exit(written == static_cast<ssize_t>(sizeof f) ? 0 : 1);
  }
  ::close(fds[1]);
  Figures f;
  ssize_t got = ::read(fds[0], &f, sizeof f);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (got != static_cast<ssize_t>(sizeof f) || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail("a measurement failed");
  return f;
}

void print(const std::string& what, const Figures& f, const char* unit) {
  std::printf("%-44s wall %9.1f ms (worst %8.1f)  cpu %8.1f ms  peak RSS %7.1f MB  %ld %s\n",
              what.c_str(), f.wall * 1e3, f.worst * 1e3, f.cpu * 1e3,
              static_cast<double>(f.peakKB) / 1024, f.count, unit);
}

std::vector<std::string> transcripts(const std::string& home) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (const auto& project : fs::directory_iterator(home + "/.claude/projects", ec))
    for (const auto& file : fs::directory_iterator(project.path(), ec))
      if (file.path().extension() == ".jsonl") paths.push_back(file.path());
  return paths;
}

int64_t folderBytes(const std::string& folder, const char* extension) {
  int64_t total = 0;
  std::error_code ec;
  for (const auto& file : fs::directory_iterator(folder, ec))
    if (file.path().extension() == extension) total += static_cast<int64_t>(file.file_size());
  return total;
}

// Reading every transcript once, 4 MB at a time: the floor under any index build.
long plainRead(const std::vector<std::string>& paths) {
  std::vector<char> buffer(4 << 20);
  long bytes = 0;
  for (const auto& path : paths) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) continue;
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) bytes += static_cast<long>(n);
    std::fclose(f);
  }
  return bytes;
}

// 1 GB of shards: the index's own shards copied under new names until the total is reached.
std::string shardCorpus(const std::string& indexDir) {
  std::string dir = benchDir() + "/shards-1gb";
  if (fs::exists(dir + "/.claude/velmo-index")) return dir;
  std::string temp = dir + ".tmp-" + std::to_string(::getpid());
  std::string out = temp + "/.claude/velmo-index";
  Files::makeDirectories(out);
  std::vector<fs::path> shards;
  for (const auto& file : fs::directory_iterator(indexDir))
    if (file.path().extension() == ".txt") shards.push_back(file.path());
  if (shards.empty()) fail("no shards in " + indexDir);
  std::sort(shards.begin(), shards.end());
  int64_t total = 0;
  for (int copy = 0; total < kShardBytes; ++copy)
    for (const auto& shard : shards) {
      if (total >= kShardBytes) break;
      fs::copy_file(shard, out + "/" + shard.stem().string() + "-" + std::to_string(copy) + ".txt");
      total += static_cast<int64_t>(fs::file_size(shard));
    }
  std::error_code ec;
  fs::rename(temp, dir, ec);
  if (ec) fail("cannot move " + temp + " to " + dir);
  return dir;
}

// Word search run the plain way: grep -m 12 on one batch of 60 shards after another,
// newest first, until 60 lines came back.
long plainGrep(const std::string& word) {
  auto shards = Index::shardsByRecency();
  long lines = 0;
  for (size_t at = 0; at < shards.size() && lines < 60; at += 60) {
    std::vector<std::string> args = {"-a", "-i", "-F", "-m", "12", "--", word};
    args.insert(args.end(), shards.begin() + static_cast<long>(at),
                shards.begin() + static_cast<long>(std::min(at + 60, shards.size())));
    if (auto out = Terminals::shell(Search::kGrep, args))
      lines += static_cast<long>(std::count(out->begin(), out->end(), '\n'));
  }
  return lines;
}

long grepAll(const std::string& dir, const std::string& word) {
  auto out = Terminals::shellOutcome(Search::kGrep, {"-rci", "--", word, dir});
  long matches = 0;
  for (size_t at = out.output.find(':'); at != std::string::npos; at = out.output.find(':', at + 1))
    matches += std::atol(out.output.c_str() + at + 1);
  return matches;
}

void searches(const std::string& home, const std::string& label, int runs) {
  const std::string index = home + "/.claude/velmo-index";
  std::printf(
      "-- %s: %.1f MB of shards in %zu files\n", label.c_str(),
      static_cast<double>(folderBytes(index, ".txt")) / 1e6,
      static_cast<size_t>(std::distance(fs::directory_iterator(index), fs::directory_iterator())));
  // The first refresh in each child is throttled away: every run measures the search.
  auto settle = [] { Index::refresh(true); };
  for (const char* word : {kCommon, kRare, kAbsent}) {
    std::string w = word;
    print(label + " search '" + w + "'",
          measure(
              home, 7, [&] { return static_cast<long>(Search::run(w).size()); }, settle),
          "conversations");
    print(label + " grep -m 12, batch by batch '" + w + "'",
          measure(home, std::max(1, runs / 3), [&] { return plainGrep(w); }), "lines");
    print(label + " grep -rci '" + w + "'",
          measure(home, std::max(1, runs / 3), [&] { return grepAll(index, w); }), "lines");
  }
}

}  // namespace

int main() {
  const std::string home = corpus();
  const auto paths = transcripts(home);
  int64_t bytes = 0;
  for (const auto& p : paths) bytes += static_cast<int64_t>(fs::file_size(p));
  std::printf("corpus: %zu transcripts, %.1f MB (sub-agent logs aside)\n", paths.size(),
              static_cast<double>(bytes) / 1e6);

  measure(home, 1, [&] { return plainRead(paths); });  // brings the files into the page cache
  print("plain read of every transcript", measure(home, 3, [&] { return plainRead(paths); }),
        "bytes");

  const std::string index = home + "/.claude/velmo-index";
  print("index build from nothing",
        measure(home, 1,
                [&] {
                  std::error_code ec;
                  fs::remove_all(index, ec);
                  return static_cast<long>(Index::refresh(true).linesAdded);
                }),
        "lines");
  print("refresh, nothing changed (first in a process)",
        measure(home, 1, [&] { return static_cast<long>(Index::refresh(true).opened); }), "opened");
  print("refresh, nothing changed",
        measure(home, 21, [&] { return static_cast<long>(Index::refresh(true).opened); }),
        "opened");

  searches(home, "index of 1 GB", 7);
  searches(shardCorpus(index), "1 GB of shards", 3);
  return 0;
}
