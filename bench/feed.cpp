// What one state-feed pass costs with 30 agent terminals, 10 of them asking: the cheap
// signature that skips most passes, the snapshot behind a write, redaction of one
// prompt's context, and a control request served over a socket pair. Prints figures;
// asserts nothing.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "control/control.h"
#include "feed/state_feed.h"
#include "support/terminal_rig.h"

namespace {

constexpr int kTerminals = 30;
constexpr int kAsking = 10;
constexpr int kRuns = 200;

template <typename F>
void report(const char* what, F&& work) {
  std::vector<double> us;
  for (int i = 0; i < kRuns; ++i) {
    double start = Clock::monotonic();
    work();
    us.push_back((Clock::monotonic() - start) * 1e6);
  }
  std::sort(us.begin(), us.end());
  std::printf("%-40s median %9.1f µs   min %9.1f µs\n", what, us[us.size() / 2], us.front());
}

std::string served(const std::string& request) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return "";
  std::thread server([fd = fds[1]] { Control::serve(fd); });
  ::send(fds[0], request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char buf[65536];
  ssize_t n;
  while ((n = ::recv(fds[0], buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  server.join();
  return reply;
}

}  // namespace

int main() {
  TerminalRig rig;
  for (int i = 0; i < kTerminals; ++i) {
    std::string tty = "/dev/pts/" + std::to_string(i + 1);
    rig.agent(1000 + i, i + 1, "session-" + std::to_string(i), i % 3 ? "idle" : "busy");
    rig.host.show(tty, i < kAsking
                           ? Screens::ask("Which colour for part " + std::to_string(i) + "?",
                                          {"Blue", "Green", "Orange"})
                           : Screens::idle());
  }
  Terminals::open();
  Terminals::pickers(true);

  std::string context;
  for (int i = 0; i < 25; ++i)
    context += "Line " + std::to_string(i) + " of the agent's words, /home/u/project/src/file.cpp ";
  context += " token: sk-ant0123456789abcdefXYZ and a27b9c0d1e2f3a4b5c6d7e8f9a0b1c2d";

  report("cheap signature", [] { StateFeed::cheapSignature(); });
  report("snapshot (last screen pass)", [] { StateFeed::snapshot(false); });
  report("snapshot serialised, sorted keys", [] { StateFeed::snapshot(false).dump(2); });
  report("redact 2.5 kB of context", [&] { StateFeed::redact(context); });
  report("control \"ping\" over a socket pair", [] { served("{\"cmd\":\"ping\"}\n"); });
  report("control \"list\" (fresh screens)", [] { served("{\"cmd\":\"list\"}\n"); });
  return 0;
}
