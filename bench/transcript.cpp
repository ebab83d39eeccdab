// What a short chat window costs on large transcripts (50 MB and 600 MB): time, and peak
// resident memory, which must follow the tail read and not the file. Then what finding the
// open question costs on a transcript's last 2 MB. Each measurement runs in its own child
// process, so its peak memory (VmHWM) is its own.
#include "sessions/transcript.h"

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
#include "base/paths.h"
#include "base/process.h"
#include "corpus.h"
#include "sessions/questions.h"
#include "sessions/questions_read.h"
#include "sessions/state.h"
#include "support/transcripts.h"

namespace fs = std::filesystem;

namespace {

std::string env(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "bench_transcript: %s\n", what.c_str());
  std::exit(1);
}

std::string benchDir() {
  return env("VELMO_BENCH_DIR", "/tmp/velmo-bench");
}

// A corpus folder appears under its final name only when whole, so an interrupted run
// never leaves a half-written one to be reused.
void publish(const std::string& temp, const std::string& dir) {
  std::error_code ec;
  fs::rename(temp, dir, ec);
  if (ec) fail("cannot move " + temp + " to " + dir);
}

// The same corpus the session-state benchmark writes (same generator, same arguments).
std::string corpus50() {
  std::string dir = benchDir() + "/sessions-50mb";
  if (fs::exists(dir + "/.claude/projects")) return dir;
  std::string temp = dir + ".tmp-" + std::to_string(::getpid());
  std::string generator = std::string(VELMO_SOURCE_DIR) + "/bench/gen-corpus";
  std::printf("writing a 50 MB transcript into %s\n", dir.c_str());
  std::fflush(stdout);
  Files::makeDirectories(temp);
  if (!Terminals::shell(generator, {temp, "--mb", "50", "--sessions", "1", "--projects", "1"}, 600))
    fail(generator + " failed");
  publish(temp, dir);
  return dir;
}

fs::path largestTranscriptOrFail(const std::string& projects) {
  fs::path best = largestTranscript(projects);
  if (best.empty()) fail("no transcript under " + projects);
  return best;
}

// Twelve copies of the 50 MB transcript back to back: every line whole, 600 MB in all.
std::string corpus600(const fs::path& source) {
  std::string dir = benchDir() + "/transcript-600mb";
  if (fs::exists(dir + "/.claude/projects")) return dir;
  std::string temp = dir + ".tmp-" + std::to_string(::getpid());
  std::string folder = temp + "/.claude/projects/-home-dana-big";
  Files::makeDirectories(folder);
  std::printf("writing a 600 MB transcript into %s\n", dir.c_str());
  std::fflush(stdout);
  {
    std::ofstream out(folder + "/" + source.filename().string(), std::ios::binary);
    for (int copy = 0; copy < 12; ++copy) {
      std::ifstream in(source, std::ios::binary);
      out << in.rdbuf();
    }
    if (!out) fail("cannot write " + folder);
  }
  publish(temp, dir);
  return dir;
}

// The last 3 MB of the 50 MB transcript (from a whole line on) with questions placed in
// it: none, one open at the end, one answered whose call sits 1.9 MB from the end.
std::string corpusQuestions(const fs::path& source) {
  std::string dir = benchDir() + "/questions-3mb";
  if (fs::exists(dir + "/.claude/projects")) return dir;
  std::string temp = dir + ".tmp-" + std::to_string(::getpid());
  std::string folder = temp + "/.claude/projects/-home-dana-shop";
  Files::makeDirectories(folder);
  auto tail = Files::readTail(source.string(), 3000000);
  if (!tail) fail("cannot read " + source.string());
  std::string body = tail->bytes.substr(tail->bytes.find('\n') + 1);

  using Records::Json;
  const Clock::Time at = 1.8e9;
  Json ask = Records::askCall(Json::array({Records::question(
      "Which colour?", "Colour", {{"Blue", "Calm"}, {"Green", "Go"}, {"Orange", "Loud"}})}));
  const std::string asked = Records::lines(
      {Records::assistant(Json::array({Records::text("Two ways to go; which do you prefer?")}), at),
       Records::assistant(Json::array({ask}), at)});
  const size_t early = body.find('\n', body.size() - 1900000) + 1;
  const std::string answered = body.substr(0, early) + asked + body.substr(early) +
                               Records::lines({Records::toolResult(ask["id"], "Blue", at)});
  Files::writeAtomic(folder + "/none.jsonl", body);
  Files::writeAtomic(folder + "/open.jsonl", body + asked);
  Files::writeAtomic(folder + "/answered.jsonl", answered);
  publish(temp, dir);
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

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Figures {
  double first = 0;   // seconds, median of uncached runs
  double cached = 0;  // seconds, median of cached runs
  long baseKB = 0;    // resident memory before the work
  long peakKB = 0;    // peak resident memory after it
  long lines = 0;     // what the work found, to show it did something
};

// Runs `work` in a child process: `runs` times after forgetting every cache, then 101 times
// from the cache. The child sends its figures back through a pipe.
Figures measure(const std::string& home, int runs, const std::function<long()>& work) {
  int fds[2];
  if (::pipe(fds) != 0) fail("pipe failed");
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    ::close(fds[0]);
    ::setenv("CLAUDE_CONFIG_DIR", (home + "/.claude").c_str(), 1);
    Caches::emptyAll();
    Figures f;
    f.baseKB = statusKB("VmRSS:");
    std::vector<double> first, cached;
    for (int run = 0; run < runs; ++run) {
      Caches::emptyAll();
      double start = Clock::monotonic();
      f.lines = work();
      first.push_back(Clock::monotonic() - start);
    }
    for (int run = 0; run < 101; ++run) {
      double start = Clock::monotonic();
      work();
      cached.push_back(Clock::monotonic() - start);
    }
    f.first = median(first);
    f.cached = median(cached);
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

void print(const char* what, const Figures& f, const char* unit) {
  std::printf("%-34s first %9.2f ms  cached %7.1f us  peak RSS %6.1f MB (+%5.1f)  %ld %s\n", what,
              f.first * 1e3, f.cached * 1e6, static_cast<double>(f.peakKB) / 1024,
              static_cast<double>(f.peakKB - f.baseKB) / 1024, f.lines, unit);
}

}  // namespace

int main() {
  const std::string small = corpus50();
  const fs::path source = largestTranscriptOrFail(small + "/.claude/projects");
  const std::string big = corpus600(source);
  const std::string asks = corpusQuestions(source);
  const std::string id = source.stem().string();

  for (const auto& [home, label] : {std::pair{small, "50 MB"}, std::pair{big, "600 MB"}}) {
    const fs::path file = largestTranscriptOrFail(home + "/.claude/projects");
    std::printf("transcript %s: %.1f MB\n", label, static_cast<double>(fs::file_size(file)) / 1e6);
    for (int want : {24, 800}) {
      Figures f = measure(
          home, 5, [&] { return static_cast<long>(Transcript::read(id, want).lines.size()); });
      std::string what = std::string("read want ") + std::to_string(want);
      print(what.c_str(), f, "lines");
    }
  }
  // For scale: the whole 50 MB conversation at once.
  print("read want 100000 (50 MB, whole)",
        measure(small, 3,
                [&] { return static_cast<long>(Transcript::read(id, 100000).lines.size()); }),
        "lines");

  std::printf("questions on the last 2 MB of a 3 MB transcript\n");
  for (const char* name : {"none", "open", "answered"}) {
    Figures f = measure(asks, 9, [&] { return Questions::pending(name) ? 1L : 0L; });
    std::string what = std::string("pending, ") + name;
    print(what.c_str(), f, "open");
  }
  return 0;
}
