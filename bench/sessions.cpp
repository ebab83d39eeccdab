// How long Sessions::state takes on a 50 MB transcript: the first call (tail read and
// parsed) against a cached one (two stats and a folder listing).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/caches.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/process.h"
#include "corpus.h"
#include "sessions/state.h"

namespace fs = std::filesystem;

namespace {

std::string env(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

// The corpus is written once and reused; it appears under its final name only when whole.
std::string corpus() {
  std::string dir = env("VELMO_BENCH_DIR", "/tmp/velmo-bench") + "/sessions-50mb";
  if (fs::exists(dir + "/.claude/projects")) return dir;
  std::string temp = dir + ".tmp-" + std::to_string(::getpid());
  std::string generator = std::string(VELMO_SOURCE_DIR) + "/bench/gen-corpus";
  std::printf("writing a 50 MB transcript into %s\n", dir.c_str());
  Files::makeDirectories(temp);
  if (!Terminals::shell(generator, {temp, "--mb", "50", "--sessions", "1", "--projects", "1"},
                        600)) {
    std::fprintf(stderr, "bench_sessions: %s failed\n", generator.c_str());
    std::exit(1);
  }
  std::error_code ec;
  fs::rename(temp, dir, ec);
  if (ec) {
    std::fprintf(stderr, "bench_sessions: cannot move %s to %s\n", temp.c_str(), dir.c_str());
    std::exit(1);
  }
  return dir;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  std::string dir = corpus();
  ::setenv("CLAUDE_CONFIG_DIR", (dir + "/.claude").c_str(), 1);
  Caches::emptyAll();
  fs::path transcript = largestTranscript(Paths::agent("projects"));
  if (transcript.empty()) {
    std::fprintf(stderr, "bench_sessions: no transcript in %s\n", dir.c_str());
    return 1;
  }
  const std::string id = transcript.stem().string();
  std::printf("transcript %s, %.1f MB\n", transcript.filename().c_str(),
              static_cast<double>(fs::file_size(transcript)) / 1e6);

  std::vector<double> first, cached;
  std::optional<SessionState> s;
  for (int run = 0; run < 9; ++run) {
    Caches::emptyAll();
    double start = Clock::monotonic();
    s = Sessions::state(id);
    first.push_back(Clock::monotonic() - start);
    if (!s) {
      std::fprintf(stderr, "bench_sessions: no state for %s\n", id.c_str());
      return 1;
    }
  }
  std::printf("state: %s, model %s, context %lld tokens, title \"%s\"\n", modeName(s->mode),
              s->model.c_str(), static_cast<long long>(s->contextTokens), s->title.c_str());
  for (int run = 0; run < 201; ++run) {
    double start = Clock::monotonic();
    Sessions::state(id);
    cached.push_back(Clock::monotonic() - start);
  }
  double a = median(first), b = median(cached);
  std::printf("first state   %9.1f us (median of %zu)\n", a * 1e6, first.size());
  std::printf("cached state  %9.1f us (median of %zu)\n", b * 1e6, cached.size());
  std::printf("ratio         %9.1f x\n", b > 0 ? a / b : 0.0);
  return 0;
}
