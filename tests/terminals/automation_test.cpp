#include "terminals/automation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "base/files.h"
#include "base/lang.h"
#include "base/text.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/scripted_host.h"

namespace {

const std::string kTty = "/dev/pts/2";

std::string border() {
  std::string out;
  for (int i = 0; i < 30; ++i) out += "─";
  return out;
}

std::string inputBox(const std::string& typed) {
  return Text::join({"● Ready.", "", border(), "❯\u00a0" + typed, border(), "  ? for shortcuts"},
                    "\n");
}

// The input row as the agent draws it: its mark is followed by a no-break space.
std::string agentBox(const std::string& row) {
  return Text::join({"● Ready.", "", border(), "❯\u00a0" + row, border(), "  ? for shortcuts"},
                    "\n");
}

std::string fixture(const std::string& name) {
  return std::string(VELMO_FIXTURES_DIR) + "/" + name;
}

void writeExecutable(const std::string& path) {
  Files::makeDirectories(path.substr(0, path.find_last_of('/')));
  Files::writeAtomic(path, "#!/bin/sh\n", 0755);
}

Terminal agentAt(const std::string& tty, int64_t pid, const std::string& job = "") {
  Terminal t;
  t.tty = tty;
  t.pid = pid;
  t.jobId = job;
  return t;
}

}  // namespace

class Automation : public ::testing::Test {
 protected:
  ScopedHome home;
  FakeClock clock;
  ScriptedHost host;
};

TEST_F(Automation, SendingOnlyBlanksTypesNothing) {
  EXPECT_FALSE(Terminals::send("  \n \n\t", kTty, {}));
  EXPECT_TRUE(host.typed().empty());
}

TEST_F(Automation, SendTypesOneLineAndSucceedsWhenTheInputBoxEmpties) {
  host.show(kTty, inputBox(""));
  EXPECT_TRUE(Terminals::send(" first\nsecond ", kTty, {}));
  ASSERT_EQ(host.typed().size(), 1u);
  EXPECT_EQ(host.typed()[0].text, "first second");
  EXPECT_DOUBLE_EQ(clock.totalSlept(), 0.6);
}

TEST_F(Automation, SendSucceedsWhenTheAgentLeavesIdleWithoutReadingTheScreenAgain) {
  home.write(".claude/sessions/4242.json", R"({"pid":4242,"status":"idle"})");
  host.show(kTty, inputBox(""));
  host.onType([&](ScriptedHost& h, const ScriptedHost::Call& call) {
    h.show(kTty, inputBox(call.text));
    home.write(".claude/sessions/4242.json", R"({"pid":4242,"status":"busy"})");
  });
  int before = host.reads();
  EXPECT_TRUE(Terminals::send("do the thing", kTty, {agentAt(kTty, 4242)}));
  EXPECT_EQ(host.reads(), before + 1);  // the look before typing, none after
}

TEST_F(Automation, TextThatStaysIsPressedThreeMoreTimesThenSendFails) {
  host.show(kTty, inputBox(""));
  std::vector<double> when;
  host.onType([&](ScriptedHost& h, const ScriptedHost::Call& call) {
    if (!call.text.empty()) h.show(kTty, inputBox(call.text));
    when.push_back(clock.now());
  });
  Terminals::Sent sent = Terminals::send("a message that never leaves the box", kTty, {});
  EXPECT_FALSE(sent);
  EXPECT_TRUE(sent.typed);
  EXPECT_FALSE(sent.why.empty());
  auto typed = host.typed();
  ASSERT_EQ(typed.size(), 4u);
  for (size_t i = 1; i < typed.size(); ++i) {
    EXPECT_EQ(typed[i].text, "");
    EXPECT_NEAR(when[i] - when[i - 1], 2.4, 1e-6);
  }
  EXPECT_NEAR(clock.totalSlept(), 9.6, 1e-6);
}

TEST_F(Automation, NothingIsTypedOverAPromptOrAScreenThatCannotBeRead) {
  const std::string prompt = Files::read(fixture("screens/perm-bash.txt")).value_or("");
  ASSERT_FALSE(prompt.empty());
  // The Return of "thanks" would pick the highlighted "1. Yes" of a permission prompt.
  host.show(kTty, prompt);
  for (auto sent : {Terminals::send("thanks", kTty, {}), Terminals::sendMessage("thanks\nbye", kTty, {})}) {
    EXPECT_FALSE(sent);
    EXPECT_FALSE(sent.typed);
    EXPECT_EQ(sent.why, Lang::pick("The terminal is waiting on a question; answer it first",
                                   "המסוף ממתין לתשובה לשאלה; יש לענות עליה קודם"));
  }
  // A screen that cannot be read, or that shows no input row, cannot say it is safe.
  host.setReadable(false);
  Terminals::Sent sent = Terminals::send("hello", kTty, {});
  EXPECT_FALSE(sent.typed);
  EXPECT_TRUE(Text::contains(sent.why, Lang::pick("cannot be read", "אי־אפשר לקרוא")));
  host.setReadable(true);
  host.show(kTty, "$ plain shell\n");
  sent = Terminals::send("hello", kTty, {});
  EXPECT_FALSE(sent.typed);
  EXPECT_TRUE(Text::contains(sent.why, Lang::pick("input row", "שורת הקלט")));
  EXPECT_TRUE(host.typed().empty());
}

TEST_F(Automation, ReturnIsPressedAgainOnlyWhileTheTextWaitsInTheInputRow) {
  host.show(kTty, inputBox(""));
  const std::string prompt = Files::read(fixture("screens/perm-bash.txt")).value_or("");
  // The agent took the line and then asked about a command: a Return now would approve it.
  host.onType([&](ScriptedHost& h, const ScriptedHost::Call&) { h.show(kTty, prompt); });
  host.setReadable(true);
  Terminals::Sent sent = Terminals::send("go ahead", kTty, {});
  EXPECT_TRUE(sent);  // the row no longer holds it
  EXPECT_EQ(host.typed().size(), 1u);

  // A screen lost after typing never gets a blind Return.
  host.show(kTty, inputBox(""));
  host.onType([](ScriptedHost& h, const ScriptedHost::Call&) { h.setReadable(false); });
  sent = Terminals::send("go on", kTty, {});
  EXPECT_FALSE(sent);
  EXPECT_TRUE(sent.typed);
  EXPECT_EQ(host.typed().size(), 2u);
}

TEST_F(Automation, AReturnInsideTheTextNeverActsAsEnter) {
  host.show(kTty, inputBox(""));
  EXPECT_TRUE(Terminals::send("/rename A\rsecond prompt\x1b[B", kTty, {}));
  ASSERT_EQ(host.typed().size(), 1u);
  EXPECT_EQ(host.typed()[0].text, "/rename Asecond prompt[B");
  // Nothing but control characters is nothing to send.
  EXPECT_FALSE(Terminals::send("\r\x1b\x7f", kTty, {}));
  EXPECT_EQ(host.typed().size(), 1u);
}

TEST_F(Automation, AnUnsentDraftIsNeverTypedOver) {
  host.show(kTty, agentBox("half typed"));
  Terminals::Sent sent = Terminals::send("status please", kTty, {});
  EXPECT_FALSE(sent.ok);
  EXPECT_TRUE(sent.unsent);
  EXPECT_EQ(host.styledReads(), 1);
  sent = Terminals::sendMessage("one\ntwo", kTty, {});
  EXPECT_TRUE(sent.unsent);
  EXPECT_TRUE(host.typed().empty());

  // The agent's dim hint in an empty row is no draft.
  host.show(kTty, agentBox("\x1b[7mP\x1b[0;2mress up to edit queued messages"));
  home.write(".claude/sessions/9.json", R"({"pid":9,"status":"idle"})");
  host.onType([&](ScriptedHost&, const ScriptedHost::Call&) {
    home.write(".claude/sessions/9.json", R"({"pid":9,"status":"busy"})");
  });
  sent = Terminals::send("status please", kTty, {agentAt(kTty, 9)});
  EXPECT_TRUE(sent.ok);
  EXPECT_FALSE(sent.unsent);
}

TEST_F(Automation, AMessageOfSeveralLinesIsPastedAsOne) {
  host.show(kTty, agentBox(""));
  // The agent shows the paste in its row; Return sends it and empties the row.
  host.onType([&](ScriptedHost& h, const ScriptedHost::Call& call) {
    if (call.kind == "paste") h.show(kTty, agentBox("[Pasted text #1 +2 lines]"));
  });
  EXPECT_FALSE(Terminals::sendMessage("first\r\nsecond\x03\nthird\n", kTty, {}));
  ASSERT_GE(host.typed().size(), 2u);
  EXPECT_EQ(host.typed()[0].kind, "paste");
  EXPECT_EQ(host.typed()[0].text, "first\nsecond\nthird");
  EXPECT_EQ(host.typed()[1].kind, "line");  // Return again: the row still held it

  host.show(kTty, agentBox(""));
  host.onType(nullptr);
  size_t before = host.typed().size();
  EXPECT_TRUE(Terminals::sendMessage("one\ntwo", kTty, {}));
  EXPECT_EQ(host.typed().size(), before + 1);
  // One line is typed as a line.
  EXPECT_TRUE(Terminals::sendMessage("  just one \n", kTty, {}));
  EXPECT_EQ(host.typed().back().kind, "line");
  EXPECT_EQ(host.typed().back().text, "just one");
}

TEST_F(Automation, StillTypedReadsTheWholeInputBox) {
  EXPECT_EQ(Terminals::stillTyped("x", kTty), std::nullopt);  // no such terminal
  host.setReadable(false);
  host.show(kTty, inputBox("x"));
  EXPECT_EQ(Terminals::stillTyped("x", kTty), std::nullopt);
  host.setReadable(true);
  host.show(kTty, "$ plain shell\n");
  EXPECT_EQ(Terminals::stillTyped("plain", kTty), false);
  // The box wraps long text over rows; its bottom edge ends it; spaces do not count.
  host.show(kTty, Text::join({"❯ old prompt", "", border(), "❯ please refactor the lo",
                              "  gin form today", border(), "  gin form today"},
                             "\n"));
  EXPECT_EQ(Terminals::stillTyped("refactor the login form", kTty), true);
  EXPECT_EQ(Terminals::stillTyped("old prompt", kTty), false);
}

TEST_F(Automation, RaiseOpensABackgroundSessionThatHasNoTerminal) {
  EXPECT_TRUE(Terminals::raise(kTty, {agentAt(kTty, 1, "J7")}));
  EXPECT_EQ(host.calls().size(), 1u);

  host.setRaiseWorks(false);
  EXPECT_FALSE(Terminals::raise(kTty, {agentAt(kTty, 1)}));
  EXPECT_TRUE(Terminals::raise(kTty, {agentAt(kTty, 1, "J7")}));
  auto calls = host.calls();
  ASSERT_EQ(calls.back().kind, "open");
  EXPECT_EQ(calls.back().text, home.path());
  auto argv = calls.back().launch.argv;
  ASSERT_EQ(argv.size(), 3u);
  EXPECT_EQ(argv[1], "attach");
  EXPECT_EQ(argv[2], "J7");
  EXPECT_FALSE(calls.back().launch.userShell);
}

TEST_F(Automation, SpawnStartsInTheRightFolderOrSaysWhy) {
  writeExecutable(home.path() + "/.local/bin/claude");
  EXPECT_EQ(Terminals::spawnClaude("", {"--resume", "it's mine"}), "");
  auto open = host.calls().back();
  EXPECT_EQ(open.text, home.path());
  EXPECT_EQ(open.launch.argv, (std::vector<std::string>{home.path() + "/.local/bin/claude",
                                                        "--resume", "it's mine"}));

  std::string file = home.write("notes.txt", "x");
  EXPECT_EQ(Terminals::spawnClaude(file, {}),
            Lang::pick("Folder not found — ", "התיקייה לא נמצאה — ") + file);
  EXPECT_EQ(Terminals::spawn(home.path() + "/missing", false),
            Lang::pick("Folder not found — ", "התיקייה לא נמצאה — ") + home.path() + "/missing");

  EXPECT_EQ(Terminals::spawn(home.path(), true), "");
  open = host.calls().back();
  EXPECT_EQ(open.launch.argv, (std::vector<std::string>{"cx", "--dangerously-skip-permissions"}));
  EXPECT_TRUE(open.launch.userShell);

  host.setOpenWorks(false);
  // The reason comes from the host.
  EXPECT_EQ(Terminals::spawnClaude(home.path(), {}), host.openFailure(false));
  EXPECT_TRUE(Text::startsWith(
      Terminals::spawn(home.path(), false),
      Lang::pick("Opening the terminal failed — tmux", "פתיחת המסוף נכשלה — tmux")));
}

TEST_F(Automation, ClaudeIsFoundInItsInstallPlacesThenOnPath) {
  if (Files::isExecutableFile("/opt/homebrew/bin/claude") ||
      Files::isExecutableFile("/usr/local/bin/claude"))
    GTEST_SKIP() << "an agent installed system-wide comes before the home and PATH candidates";
  const char* oldPath = std::getenv("PATH");
  std::string saved = oldPath ? oldPath : "";
  std::string bin = home.path() + "/bin";
  ::setenv("PATH", bin.c_str(), 1);
  EXPECT_EQ(Terminals::claudePath(), std::nullopt);
  writeExecutable(bin + "/claude");
  EXPECT_EQ(Terminals::claudePath(), bin + "/claude");
  writeExecutable(home.path() + "/.claude/local/claude");
  EXPECT_EQ(Terminals::claudePath(), home.path() + "/.claude/local/claude");
  // A file that is not executable is no candidate.
  Files::writeAtomic(home.path() + "/.local/bin/claude", "x", 0644);
  EXPECT_EQ(Terminals::claudePath(), home.path() + "/.claude/local/claude");
  ::setenv("PATH", saved.c_str(), 1);
}

TEST_F(Automation, StatusIsReadFreshAndOnlyAsText) {
  EXPECT_EQ(Terminals::status(77), "");
  home.write(".claude/sessions/77.json", R"({"status":"idle","name":"api","sessionId":"s-1"})");
  EXPECT_EQ(Terminals::status(77), "idle");
  EXPECT_EQ(Terminals::registryField(77, "name"), "api");
  home.write(".claude/sessions/77.json", R"({"status":"busy"})");
  EXPECT_EQ(Terminals::status(77), "busy");
  home.write(".claude/sessions/77.json", R"({"status":3})");
  EXPECT_EQ(Terminals::status(77), "");
  home.write(".claude/sessions/77.json", R"(["status"])");
  EXPECT_EQ(Terminals::status(77), "");
  home.write(".claude/sessions/77.json", "{broken");
  EXPECT_EQ(Terminals::status(77), "");
}

TEST_F(Automation, TitlesGoToTheHost) {
  EXPECT_TRUE(Terminals::setWindowTitle("Fix \"login\"", kTty));
  EXPECT_EQ(host.calls().back().kind, "title");
  EXPECT_EQ(host.calls().back().text, "Fix \"login\"");
}
