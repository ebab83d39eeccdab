// TmuxHost against real panes of a private tmux server.

#include "terminals/tmux_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "base/caches.h"
#include "base/files.h"
#include "base/process.h"
#include "base/settings.h"
#include "base/text.h"
#include "support/home.h"
#include "support/tmux_lab.h"
#include "terminals/picker.h"

namespace {

// Prints every line it reads as GOT[line].
const std::vector<std::string> kLineEcho = {
    "python3", "-c",
    "import sys\nfor l in sys.stdin: print('GOT[%s]' % l.rstrip('\\n'), flush=True)"};
// Prints the bytes of every read, in hex, from a raw terminal.
const std::vector<std::string> kKeyEcho = {
    "python3", "-c",
    "import os, tty\ntty.setraw(0)\nos.write(1, b'READY\\r\\n')\n"
    "while True:\n  b = os.read(0, 64)\n  os.write(1, (' '.join('%02x' % c for c in b) + "
    "'\\r\\n').encode())"};

std::vector<std::string> showAndWait(const std::string& text) {
  return {"sh", "-c", "printf '%s\\n' \"$0\"; exec sleep 600", text};
}

class TmuxPanes : public ::testing::Test {
 protected:
  PrivateTmux server;
  Terminals::TmuxHost host;
};

std::vector<std::string> hexBytes(const std::string& screen) {
  std::vector<std::string> out;
  for (const auto& line : Text::split(screen, '\n')) {
    if (Text::contains(line, "READY")) continue;
    for (const auto& word : Text::split(line, ' ')) out.push_back(Text::trim(word));
  }
  return out;
}

}  // namespace

TEST_F(TmuxPanes, OneDumpReadsEveryPane) {
  std::string a = server.start("one", showAndWait("HELLO-A"));
  ASSERT_FALSE(a.empty());
  std::string b = Text::trim(server
                                 .run({"split-window", "-t", a, "-P", "-F", "#{pane_id}", "--",
                                       "sh", "-c", "printf 'HELLO-B\\n'; exec sleep 600"})
                                 .value_or(""));
  std::string c = Text::trim(server
                                 .run({"new-window", "-t", "one", "-P", "-F", "#{pane_id}", "--",
                                       "sh", "-c", "printf 'HELLO-C\\n'; exec sleep 600"})
                                 .value_or(""));
  ASSERT_TRUE(waitFor([&] { return Text::contains(server.capture(c), "HELLO-C"); }, 30));
  ASSERT_TRUE(waitFor([&] { return Text::contains(server.capture(b), "HELLO-B"); }, 30));

  auto screens = host.screens();
  ASSERT_TRUE(screens);
  ASSERT_EQ(screens->size(), 3u);
  for (const auto& [pane, word] : std::vector<std::pair<std::string, std::string>>{
           {a, "HELLO-A"}, {b, "HELLO-B"}, {c, "HELLO-C"}}) {
    std::string tty = server.show(pane, "#{pane_tty}");
    std::string window = server.show(pane, "#{window_id}");
    auto it =
        std::find_if(screens->begin(), screens->end(), [&](const auto& s) { return s.tty == tty; });
    ASSERT_NE(it, screens->end()) << tty;
    EXPECT_EQ("@" + std::to_string(it->window.value_or(-1)), window);
    EXPECT_TRUE(Text::contains(it->text, word));
  }

  // Every captured pane counts as read, prompt or not.
  Terminals::installHost(std::make_shared<Terminals::TmuxHost>());
  Caches::emptyAll();
  auto scan = Terminals::pickers(true);
  EXPECT_TRUE(scan.readable);
  EXPECT_EQ(Terminals::pickerTTYs().size(), 3u);
  Terminals::installHost(nullptr);
  Caches::emptyAll();
}

// Reads come every few seconds, so at rest one tmux run must do; a pane opened or closed
// since the last read is still seen by the next one.
TEST_F(TmuxPanes, ReadsFollowPanesThatComeAndGoInOneRunAtRest) {
  auto words = [](const std::optional<std::vector<Terminals::Screen>>& screens) {
    std::vector<std::string> out;
    for (const auto& s : screens.value_or(std::vector<Terminals::Screen>{}))
      for (const char* w : {"HELLO-A", "HELLO-B"})
        if (Text::contains(s.text, w)) out.push_back(w);
    std::sort(out.begin(), out.end());
    return out;
  };
  std::string a = server.start("one", showAndWait("HELLO-A"));
  ASSERT_TRUE(waitFor([&] { return Text::contains(server.capture(a), "HELLO-A"); }, 30));
  EXPECT_EQ(words(host.screens()), std::vector<std::string>{"HELLO-A"});

  std::string b = Text::trim(server
                                 .run({"new-window", "-t", "one", "-P", "-F", "#{pane_id}", "--",
                                       "sh", "-c", "printf 'HELLO-B\\n'; exec sleep 600"})
                                 .value_or(""));
  ASSERT_TRUE(waitFor([&] { return Text::contains(server.capture(b), "HELLO-B"); }, 30));
  EXPECT_EQ(words(host.screens()), (std::vector<std::string>{"HELLO-A", "HELLO-B"}));
  ASSERT_TRUE(server.run({"kill-pane", "-t", a}));
  EXPECT_EQ(words(host.screens()), std::vector<std::string>{"HELLO-B"});

  // A tmux in front of the real one that counts its runs.
  auto real = Terminals::shell("sh", {"-c", "command -v tmux"});
  ASSERT_TRUE(real);
  std::string bin = server.dir() + "/bin", log = server.dir() + "/runs";
  ASSERT_TRUE(Files::makeDirectories(bin));
  ASSERT_TRUE(Files::writeAtomic(
      bin + "/tmux",
      "#!/bin/sh\necho run >> '" + log + "'\nexec '" + Text::trim(*real) + "' \"$@\"\n", 0700));
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (bin + ":" + path).c_str(), 1);
  auto rest = host.screens();
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(words(rest), std::vector<std::string>{"HELLO-B"});
  EXPECT_EQ(Files::read(log).value_or(""), "run\n");
}

TEST_F(TmuxPanes, ReadsOneScreenOrSaysNone) {
  std::string a = server.start("one", showAndWait("just this"));
  std::string tty = server.show(a, "#{pane_tty}");
  ASSERT_TRUE(
      waitFor([&] { return Text::contains(host.screen(tty).value_or(""), "just this"); }, 30));
  EXPECT_EQ(host.screen("/dev/pts/999999"), "<<none>>");
  server.kill();
  EXPECT_EQ(host.screen(tty), std::nullopt);
  EXPECT_EQ(host.screens(), std::nullopt);
}

TEST_F(TmuxPanes, TypedTextArrivesExactlyAsGiven) {
  std::string a = server.start("one", kLineEcho);
  std::string tty = server.show(a, "#{pane_tty}");
  const std::vector<std::string> texts = {"-n",    "--",         "a;",         ";",   "x\\;",
                                          "a ; b", "$(id) `id`", "#{pane_id}", "'\"", "{",
                                          "-t %0", "שלום עולם",  "\\"};
  for (const auto& t : texts) ASSERT_TRUE(host.typeLine(tty, t)) << t;
  ASSERT_TRUE(waitFor([&] { return Text::contains(server.capture(a), "GOT[\\]"); }, 30))
      << server.capture(a);
  std::string screen = server.capture(a);
  for (const auto& t : texts)
    EXPECT_TRUE(Text::contains(screen, "GOT[" + t + "]")) << t << "\n" << screen;
  EXPECT_FALSE(host.typeLine("/dev/pts/999999", "x"));
}

TEST_F(TmuxPanes, KeysAreCursorMovesThenTextThenReturn) {
  std::string a = server.start("one", kKeyEcho);
  std::string tty = server.show(a, "#{pane_tty}");
  ASSERT_TRUE(waitFor([&] { return Text::contains(server.capture(a), "READY"); }, 30));
  ASSERT_TRUE(host.typeKeys(tty, -2, "x"));
  ASSERT_TRUE(host.typeKeys(tty, 1, ""));
  std::vector<std::string> want = {"1b", "5b", "41", "1b", "5b", "41",
                                   "78", "0d", "1b", "5b", "42", "0d"};
  EXPECT_TRUE(waitFor([&] { return hexBytes(server.capture(a)) == want; }, 30))
      << server.capture(a);
}

TEST_F(TmuxPanes, TitleIsThePaneOptionAndTheWindowName) {
  std::string a = server.start("one", showAndWait("x"));
  std::string tty = server.show(a, "#{pane_tty}");
  const std::string title = "Fix; \"login\" -now;";
  ASSERT_TRUE(host.setTitle(tty, title));
  EXPECT_EQ(server.show(a, "#{@velmo_title}"), title);
  EXPECT_EQ(server.show(a, "#{window_name}"), title);
  auto titles = host.titles();
  ASSERT_TRUE(titles);
  EXPECT_EQ(titles->at(tty), title);
  ASSERT_TRUE(host.setTitle(tty, ""));
  EXPECT_EQ(server.show(a, "#{@velmo_title}"), "");
  EXPECT_FALSE(host.setTitle("/dev/pts/999999", "x"));
}

TEST_F(TmuxPanes, CloseSingleLeavesAWindowWithTwoPanes) {
  std::string a = server.start("one", showAndWait("a"));
  std::string b = Text::trim(
      server.run({"split-window", "-t", a, "-P", "-F", "#{pane_id}", "--", "sleep", "600"})
          .value_or(""));
  std::string ttyA = server.show(a, "#{pane_tty}");
  std::string ttyB = server.show(b, "#{pane_tty}");
  EXPECT_FALSE(host.closeSingle(ttyA));
  EXPECT_EQ(server.show(a, "#{window_panes}"), "2");

  host.close(ttyB);
  ASSERT_TRUE(waitFor([&] { return server.show(a, "#{window_panes}") == "1"; }, 30));
  // A second window keeps the server alive once the first is closed.
  server.run({"new-window", "-t", "one", "--", "sleep", "600"});
  EXPECT_TRUE(host.closeSingle(ttyA));
  EXPECT_EQ(Text::trim(server.run({"list-windows", "-t", "one", "-F", "x"}).value_or("")), "x");
  EXPECT_FALSE(host.closeSingle("/dev/pts/999999"));
}

// The pane id stays with the pane: closing by it after its program ended never reaches a
// pane that took the same tty since.
TEST_F(TmuxPanes, ClosingByPaneIdTellsAWindowClosedFromOneKeptAndOneGone) {
  using Closed = Terminals::TerminalHost::Closed;
  std::string a = server.start("one", showAndWait("a"));
  std::string b = Text::trim(
      server.run({"split-window", "-t", a, "-P", "-F", "#{pane_id}", "--", "sleep", "600"})
          .value_or(""));
  EXPECT_EQ(host.lastingId(server.show(a, "#{pane_tty}")), a);
  EXPECT_EQ(host.lastingId("/dev/pts/999999"), std::nullopt);
  EXPECT_EQ(host.closeSingleById(a), Closed::kept);
  EXPECT_EQ(server.show(a, "#{window_panes}"), "2");

  server.run({"kill-pane", "-t", b});
  EXPECT_EQ(host.closeSingleById(b), Closed::gone);
  // A pane opened since (the kernel may hand it B's old tty) is left alone.
  std::string c = Text::trim(
      server.run({"new-window", "-t", "one", "-P", "-F", "#{pane_id}", "--", "sleep", "600"})
          .value_or(""));
  EXPECT_EQ(host.closeSingleById(b), Closed::gone);
  EXPECT_EQ(server.show(c, "#{pane_id}"), c);

  EXPECT_EQ(host.closeSingleById(a), Closed::window);
  EXPECT_EQ(Text::trim(server.run({"list-panes", "-a", "-F", "#{pane_id}"}).value_or("")), c);
}

TEST_F(TmuxPanes, RaiseSelectsTheWindowAndPane) {
  std::string a = server.start("one", showAndWait("a"));
  std::string b = Text::trim(
      server.run({"new-window", "-t", "one", "-P", "-F", "#{pane_id}", "--", "sleep", "600"})
          .value_or(""));
  EXPECT_EQ(server.show(a, "#{window_active}"), "0");
  EXPECT_TRUE(host.raise(server.show(a, "#{pane_tty}")));
  EXPECT_EQ(server.show(a, "#{window_active}"), "1");
  EXPECT_EQ(server.show(b, "#{window_active}"), "0");
  EXPECT_FALSE(host.raise("/dev/pts/999999"));
}

TEST_F(TmuxPanes, OpenAddsAWindowInTheFolder) {
  std::string a = server.start("one", showAndWait("a"));
  std::string folder = server.dir() + "/odd name; -x";
  Files::makeDirectories(folder);
  ASSERT_TRUE(host.open(folder, {{"sh", "-c", "pwd; echo \"$0\"; exec sleep 600", "arg;"}, false}));
  std::string listing;
  ASSERT_TRUE(waitFor(
      [&] {
        listing = server.run({"list-panes", "-a", "-F", "#{pane_id}"}).value_or("");
        return Text::split(listing, '\n').size() == 2;
      },
      5));
  std::string pane = Text::split(listing, '\n')[1];
  EXPECT_TRUE(waitFor([&] { return Text::contains(server.capture(pane), folder + "\narg;"); }, 30))
      << server.capture(pane);
}

TEST_F(TmuxPanes, OpenWithoutAServerStartsASessionAndATerminalForIt) {
  ScopedHome home;
  std::string record = home.path() + "/emulator-args";
  std::string emulator = home.path() + "/emulator";
  Files::writeAtomic(emulator, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + record + "\"\n", 0755);
  Settings::set("terminalCommand", emulator);
  const char* display = std::getenv("DISPLAY");
  std::string oldDisplay = display ? display : "";
  ::setenv("DISPLAY", ":velmo-test", 1);

  bool opened = host.open(home.path(), {{"sleep", "600"}, false});

  if (display)
    ::setenv("DISPLAY", oldDisplay.c_str(), 1);
  else
    ::unsetenv("DISPLAY");
  ASSERT_TRUE(opened);
  EXPECT_EQ(Text::trim(server.run({"list-sessions", "-F", "#{session_name}"}).value_or("")),
            "velmo");
  std::string id = Text::trim(
      server.run({"display-message", "-p", "-t", "velmo", "#{session_id}"}).value_or(""));
  ASSERT_TRUE(waitFor([&] { return Files::read(record).has_value(); }, 30));
  EXPECT_EQ(Files::read(record).value_or(""), "-e\ntmux\nattach\n-t\n" + id + "\n");
}
