// The process list read from /proc must say what ps says: discovery parses either.

#include "terminals/proc_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "base/process.h"
#include "base/text.h"
#include "terminals/discover.h"

namespace {

using Terminals::elapsedText;
using Terminals::terminalName;

TEST(ProcessList, TerminalNumbersAndElapsedTimesReadAsPsWritesThem) {
  EXPECT_EQ(terminalName((136 << 8) | 5), "pts/5");
  EXPECT_EQ(terminalName((137 << 8) | 3), "pts/259");
  // Minors past 255 keep their high bits above the major.
  EXPECT_EQ(terminalName((136 << 8) | (0x12 << 20) | 0x34), "pts/" + std::to_string(0x1234));
  EXPECT_EQ(terminalName(0), "?");
  EXPECT_EQ(terminalName((4 << 8) | 1), "?");  // a console
  EXPECT_EQ(terminalName(-1), "?");

  for (long long s : {0LL, 5LL, 59LL, 3725LL, 86399LL, 90061LL, 400LL * 86400 + 7})
    EXPECT_EQ(Terminals::seconds(elapsedText(s)), static_cast<double>(s)) << elapsedText(s);
  EXPECT_EQ(elapsedText(5), "00:05");
  EXPECT_EQ(elapsedText(3725), "01:02:05");
  EXPECT_EQ(elapsedText(90061), "1-01:01:01");
}

// A child on a terminal of its own, its command line holding a line break.
TEST(ProcessList, AProcessOnAPseudoTerminalIsListedAsPsListsIt) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  std::string slave = ::ptsname(master);
  pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    int fd = ::open(slave.c_str(), O_RDWR);  // a session leader's first terminal is its own
    if (fd < 0) ::_exit(1);
    ::execl("/bin/sh", "sh", "-c", "sleep 30", "line\nbreak", static_cast<char*>(nullptr));
    ::_exit(1);
  }
  ASSERT_GT(child, 0);
  struct Reap {
    pid_t pid;
    int fd;
    ~Reap() {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      ::close(fd);
    }
  } reap{child, master};

  auto lineOf = [&](const std::string& listing) {
    for (const auto& line : Text::split(listing, '\n')) {
      auto f = Text::split(line, ' ');
      if (!f.empty() && f[0] == std::to_string(child)) return f;
    }
    return std::vector<std::string>{};
  };
  std::vector<std::string> ours;
  // The child shows once it has exec'd the shell: on a loaded machine that can take seconds.
  for (int i = 0; i < 3000 && (ours.size() < 5 || ours[4] != "/bin/sh" && ours[4] != "sh"); ++i) {
    ::usleep(10000);
    auto listed = Terminals::listProcesses();
    ASSERT_TRUE(listed);
    ours = lineOf(*listed);
  }
  auto ps = Terminals::shell(
      "/bin/ps", {"-ww", "-o", "pid=,ruid=,tty=,etime=,args=", "-p", std::to_string(child)});
  if (!ps) GTEST_SKIP() << "no /bin/ps to compare with";
  auto theirs = lineOf(Text::trim(*ps));
  ASSERT_GE(theirs.size(), 5u) << *ps;
  ASSERT_EQ(ours.size(), 9u) << Text::join(ours, " ");
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(ours[i], theirs[i]) << i;
  EXPECT_EQ("/dev/" + ours[2], slave);
  EXPECT_NEAR(Terminals::seconds(ours[3]), Terminals::seconds(theirs[3]), 2);
  // ps writes the line break as it is, which splits its line in two; here it is a "?".
  EXPECT_EQ(Text::join({ours.begin() + 4, ours.end()}, " "), "sh -c sleep 30 line?break");

  // Processes without a terminal (daemons, kernel threads) are left out.
  auto listed = Terminals::listProcesses();
  ASSERT_TRUE(listed);
  for (const auto& line : Text::split(*listed, '\n')) {
    auto f = Text::split(line, ' ');
    ASSERT_GE(f.size(), 5u) << line;
    EXPECT_TRUE(Text::startsWith(f[2], "pts/")) << line;
  }
}

}  // namespace
