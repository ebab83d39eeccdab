#include "terminals/applescript_host.h"

#include <gtest/gtest.h>

#include "base/files.h"
#include "base/settings.h"
#include "support/home.h"
#include "terminals/quoting.h"
#include "terminals/tmux_host.h"

namespace {

// Stands in for /usr/bin/osascript: keeps the script it was given ("-e" SCRIPT) and
// answers with whatever the test put in reply.txt (exit status in status.txt).
class StandIn {
 public:
  StandIn() : dir(makeTempDir("velmo-osascript")) {
    Files::writeAtomic(dir + "/osascript",
                       "#!/bin/sh\n"
                       "d=$(dirname \"$0\")\n"
                       "[ \"$1\" = -e ] || exit 9\n"
                       "printf '%s' \"$2\" > \"$d/script.txt\"\n"
                       "cat \"$d/reply.txt\" 2>/dev/null\n"
                       "exit $(cat \"$d/status.txt\" 2>/dev/null || echo 0)\n",
                       0755);
    reply("ok\n");
  }
  ~StandIn() { removeTree(dir); }
  void reply(const std::string& text, int status = 0) {
    Files::writeAtomic(dir + "/reply.txt", text);
    Files::writeAtomic(dir + "/status.txt", std::to_string(status));
  }
  std::string script() const { return Files::read(dir + "/script.txt").value_or(""); }
  std::string path() const { return dir + "/osascript"; }

 private:
  std::string dir;
};

const std::string kNastyTty = "/dev/ttys0\"0\\1";

}  // namespace

TEST(Quoting, ScriptAndShellRules) {
  EXPECT_EQ(Terminals::scriptQuote(R"(say "hi" \ bye)"), R"(say \"hi\" \\ bye)");
  EXPECT_EQ(Terminals::shellQuote("it's"), R"('it'\''s')");
  EXPECT_EQ(Terminals::shellWord("--dangerously-skip-permissions"),
            "--dangerously-skip-permissions");
  EXPECT_EQ(Terminals::shellWord("a b"), "'a b'");
  EXPECT_EQ(Terminals::shellWord(""), "''");
  EXPECT_EQ(Terminals::shellWord("$(id)"), "'$(id)'");
}

TEST(AppleScriptHost, ValuesReachTheScriptQuoted) {
  StandIn osascript;
  Terminals::AppleScriptHost host(osascript.path());
  EXPECT_TRUE(host.typeLine(kNastyTty, R"(say "hi" \ bye)"));
  EXPECT_EQ(osascript.script(),
            "tell application \"Terminal\"\n"
            "  repeat with i from 1 to (count of windows)\n"
            "    try\n"
            "      if (tty of tab 1 of window i as text) is \"/dev/ttys0\\\"0\\\\1\" then\n"
            "        do script \"say \\\"hi\\\" \\\\ bye\" in tab 1 of window i\n"
            "        return \"ok\"\n"
            "      end if\n"
            "    end try\n"
            "  end repeat\n"
            "  return \"no\"\n"
            "end tell");
  osascript.reply("no\n");
  EXPECT_FALSE(host.typeLine("/dev/ttys001", "x"));
  osascript.reply("ok\n", 1);
  EXPECT_FALSE(host.typeLine("/dev/ttys001", "x"));
}

TEST(AppleScriptHost, KeysAreEscapePiecesAndOneQuotedText) {
  StandIn osascript;
  Terminals::AppleScriptHost host(osascript.path());
  EXPECT_EQ(Terminals::AppleScriptHost::keys(2, ""), "e & \"[B\" & e & \"[B\" & \"\"");
  EXPECT_TRUE(host.typeKeys("/dev/ttys001", -1, "a\"b"));
  std::string script = osascript.script();
  EXPECT_EQ(script.rfind("set e to (ASCII character 27)\ntell application \"Terminal\"\n", 0), 0u);
  EXPECT_NE(script.find("do script (e & \"[A\" & \"a\\\"b\") in tab 1 of window i\n"),
            std::string::npos);
}

TEST(AppleScriptHost, OpenTypesOneShellCommandWithEveryWordQuoted) {
  StandIn osascript;
  Terminals::AppleScriptHost host(osascript.path());
  EXPECT_TRUE(host.open("/tmp/it's here", {{"/usr/local/bin/claude", "attach", "J'1"}, false}));
  EXPECT_EQ(Terminals::AppleScriptHost::openCommand(
                "/tmp/it's here", {{"/usr/local/bin/claude", "attach", "J'1"}, false}),
            "unset CLAUDE_CODE_SESSION_ID CLAUDE_CODE_CHILD_SESSION; cd '/tmp/it'\\''s here' && "
            "'/usr/local/bin/claude' 'attach' 'J'\\''1'");
  EXPECT_EQ(osascript.script(),
            "tell application \"Terminal\"\n"
            "  activate\n"
            "  do script \"unset CLAUDE_CODE_SESSION_ID CLAUDE_CODE_CHILD_SESSION; cd "
            "'/tmp/it'\\\\''s here' && "
            "'/usr/local/bin/claude' 'attach' 'J'\\\\''1'\"\n"
            "end tell\n"
            "return \"ok\"");
  EXPECT_EQ(Terminals::AppleScriptHost::openCommand(
                "/w", {{"cx", "--dangerously-skip-permissions"}, true}),
            "cd '/w' && cx --dangerously-skip-permissions");
  osascript.reply("");
  EXPECT_FALSE(host.open("/w", {{"claude"}, false}));
}

TEST(AppleScriptHost, ScreensTitlesAndClosing) {
  StandIn osascript;
  Terminals::AppleScriptHost host(osascript.path());
  osascript.reply("<<T>>/dev/ttys001|W|12\nline a\nline b\n<<T>>ttys9|W|3\nx\n");
  auto screens = host.screens();
  ASSERT_TRUE(screens);
  ASSERT_EQ(screens->size(), 1u);
  EXPECT_EQ((*screens)[0].window, 12);
  EXPECT_EQ((*screens)[0].text, "line a\nline b\n");
  osascript.reply("\n");
  EXPECT_FALSE(host.screens());

  osascript.reply("<<none>>\n");
  EXPECT_EQ(host.screen("/dev/ttys001"), "<<none>>");
  EXPECT_NE(osascript.script().find(
                "if (tty of selected tab of window i as text) is \"/dev/ttys001\" then return"),
            std::string::npos);

  osascript.reply("/dev/ttys001\tuser — notes\n/dev/ttys002\n");
  auto titles = host.titles();
  ASSERT_TRUE(titles);
  EXPECT_EQ(titles->size(), 1u);
  EXPECT_EQ(titles->at("/dev/ttys001"), "user — notes");

  osascript.reply("no\n");
  EXPECT_FALSE(host.closeSingle("/dev/ttys001"));
  EXPECT_NE(osascript.script().find(
                "if (count of tabs of window i) is 1 and (tty of tab 1 of window i as text) is"),
            std::string::npos);
  osascript.reply("ok\n");
  EXPECT_TRUE(host.closeSingle("/dev/ttys001"));
  EXPECT_TRUE(host.setTitle(kNastyTty, "a \"b\""));
  EXPECT_NE(osascript.script().find("set custom title of tab 1 of window i to \"a \\\"b\\\"\"\n"),
            std::string::npos);
}

TEST(TerminalHost, TheSettingChoosesTheHost) {
  ScopedHome home;
  Terminals::installHost(nullptr);
  EXPECT_TRUE(dynamic_cast<Terminals::TmuxHost*>(&Terminals::host()));
  Settings::set("terminalHost", "applescript");
  Terminals::installHost(nullptr);
  EXPECT_TRUE(dynamic_cast<Terminals::AppleScriptHost*>(&Terminals::host()));
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
