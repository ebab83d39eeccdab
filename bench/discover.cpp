// One full discovery (ps, registry, tty files, pane titles) against a private tmux
// server whose 20 panes run a stand-in agent. Prints figures; asserts nothing.

#include "terminals/discover.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/caches.h"
#include "base/clock.h"
#include "base/process.h"
#include "support/home.h"
#include "support/tmux_lab.h"
#include "terminals/host.h"

namespace {

constexpr int kPanes = 20;
constexpr int kRuns = 15;

struct Figures {
  double median = 0;
  double min = 0;
};

template <typename F>
Figures time(F&& work) {
  std::vector<double> ms;
  for (int i = 0; i < kRuns; ++i) {
    double start = Clock::monotonic();
    work();
    ms.push_back((Clock::monotonic() - start) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.front()};
}

void print(const char* what, const Figures& f) {
  std::printf("%-34s median %7.2f ms   min %7.2f ms\n", what, f.median, f.min);
}

}  // namespace

int main() {
  ScopedHome home;
  PrivateTmux tmux;
  std::string claude = standInAgent(tmux.dir());
  if (claude.empty()) {
    std::fprintf(stderr, "bench_discover: could not make the stand-in agent\n");
    return 1;
  }
  for (int i = 0; i < kPanes; ++i) {
    std::string pane = tmux.openPane({claude, std::to_string(100000 + i)});
    int64_t pid = tmux.panePid(pane);
    if (pid <= 0) {
      std::fprintf(stderr, "bench_discover: tmux could not open pane %d\n", i);
      return 1;
    }
    tmux.run({"select-pane", "-t", pane, "-T", "✳ Task " + std::to_string(i) + " — claude"});
    home.write(".claude/sessions/" + std::to_string(pid) + ".json",
               nlohmann::json{{"sessionId", "session-" + std::to_string(i)},
                              {"pid", pid},
                              {"status", i % 3 == 0 ? "waiting" : "busy"},
                              {"name", "task-" + std::to_string(i)}}
                   .dump());
  }

  size_t found = 0;
  // Forgetting the caches first makes every run ask tmux for the titles, as a cold
  // discovery does once every ten seconds.
  print("discover (with pane titles)", time([&] {
          Caches::emptyAll();
          found = Terminals::discover().size();
        }));
  print("discover (titles cached)", time([&] { Terminals::discover(); }));
  print("  ps alone", time([] {
          Terminals::shell("/bin/ps", {"-ww", "-axo", "pid=,ruid=,tty=,etime=,args="});
        }));
  print("  pane titles alone", time([] { Terminals::host().titles(); }));
  print("  registry files alone", time([] { Terminals::pidToSession(); }));
  std::printf("%zu terminals found (%d panes of our own)\n", found, kPanes);
  return 0;
}
