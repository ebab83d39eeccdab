// The terminal host in force, the quoting of shell words and tmux's own listings.

#include <gtest/gtest.h>

#include "base/settings.h"
#include "support/home.h"
#include "terminals/host.h"
#include "terminals/quoting.h"
#include "terminals/tmux_host.h"

TEST(Quoting, ShellRules) {
  EXPECT_EQ(Terminals::shellQuote("it's"), R"('it'\''s')");
  EXPECT_EQ(Terminals::shellWord("--dangerously-skip-permissions"),
            "--dangerously-skip-permissions");
  EXPECT_EQ(Terminals::shellWord("a b"), "'a b'");
  EXPECT_EQ(Terminals::shellWord(""), "''");
  EXPECT_EQ(Terminals::shellWord("$(id)"), "'$(id)'");
}

TEST(TerminalHost, TmuxIsTheHostWhateverTheSettingSays) {
  ScopedHome home;
  Terminals::installHost(nullptr);
  EXPECT_TRUE(dynamic_cast<Terminals::TmuxHost*>(&Terminals::host()));
  // A settings file from a build that offered another host still gets tmux.
  Settings::set("terminalHost", "applescript");
  Terminals::installHost(nullptr);
  EXPECT_TRUE(dynamic_cast<Terminals::TmuxHost*>(&Terminals::host()));
  Settings::set("terminalHost", nullptr);
  Terminals::installHost(nullptr);
}

TEST(TmuxHost, ListingsAndArguments) {
  auto panes = Terminals::TmuxHost::parsePanes(
      "%1\t/dev/pts/3\t@2\t2\t$0\t1\nbad line\n%4\tnot-a-tty\t@3\t1\t$0\t0\n");
  ASSERT_EQ(panes.size(), 1u);
  EXPECT_EQ(panes[0].id, "%1");
  EXPECT_EQ(panes[0].window, "@2");
  EXPECT_EQ(panes[0].windowPanes, 2);
  EXPECT_EQ(panes[0].attached, 1);
  // tmux would read a trailing ";" as the end of a command.
  EXPECT_EQ(Terminals::TmuxHost::literal("a;"), "a\\;");
  EXPECT_EQ(Terminals::TmuxHost::literal(";"), "\\;");
  EXPECT_EQ(Terminals::TmuxHost::literal("a;b"), "a;b");
  EXPECT_EQ(
      Terminals::TmuxHost::emulatorCommand("kitty --single-instance", "xterm", {"-S", "/s"}, "$1"),
      (std::vector<std::string>{"kitty", "--single-instance", "-e", "tmux", "-S", "/s", "attach",
                                "-t", "$1"}));
  EXPECT_EQ(Terminals::TmuxHost::emulatorCommand("", "xterm", {}, "$1"),
            (std::vector<std::string>{"xterm", "-e", "tmux", "attach", "-t", "$1"}));
  EXPECT_EQ(Terminals::TmuxHost::emulatorCommand("", "", {}, "$1")[0], "x-terminal-emulator");
}
