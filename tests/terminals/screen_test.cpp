#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/caches.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/text.h"
#include "support/fake_clock.h"
#include "support/scripted_host.h"
#include "terminals/picker.h"

using Terminals::Option;
using Terminals::Picker;

namespace {

std::string lines(std::initializer_list<std::string> rows) {
  return Text::join(std::vector<std::string>(rows), "\n") + "\n";
}

std::optional<Picker> parse(const std::string& screen) {
  return Terminals::parseScreen(screen, "/dev/pts/1");
}

std::vector<std::string> labels(const Picker& p) {
  std::vector<std::string> out;
  for (const auto& o : p.options) out.push_back(o.n + " " + o.label);
  return out;
}

std::string border() {
  std::string out;
  for (int i = 0; i < 40; ++i) out += "─";
  return out;
}

}  // namespace

// ---- screens written by the real agent ----

struct FixtureCase {
  const char* file;
  const char* question;
  std::vector<Option> options;
  int cursor;
  int freeRow;
  bool multi;
  std::set<std::string> checked;
};

class AgentScreens : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(AgentScreens, ParseAsTheirNotesSay) {
  const FixtureCase& c = GetParam();
  auto text = Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/" + c.file);
  ASSERT_TRUE(text) << c.file;
  auto p = parse(*text);
  ASSERT_TRUE(p) << c.file;
  EXPECT_EQ(p->question, c.question);
  ASSERT_EQ(p->options.size(), c.options.size());
  for (size_t i = 0; i < c.options.size(); ++i) {
    EXPECT_EQ(p->options[i].n, c.options[i].n);
    EXPECT_EQ(p->options[i].label, c.options[i].label);
    EXPECT_EQ(p->options[i].detail, c.options[i].detail);
  }
  EXPECT_EQ(p->cursor, c.cursor);
  EXPECT_EQ(p->freeRow, c.freeRow);
  EXPECT_EQ(p->multi, c.multi);
  EXPECT_EQ(p->checked, c.checked);
  EXPECT_FALSE(p->review);
}

const std::vector<Option> kEditChoices = {
    {"1", "Yes", ""},
    {"2",
     "Yes, and switch to accept edits (auto-approve file edits and common file commands) for "
     "this session (shift+tab)",
     ""},
    {"3", "No", ""}};

const std::vector<Option> kChecks = {
    {"1", "Unit tests", "Fast"}, {"2", "Lint", "Style"}, {"3", "Fuzzing", "Slow but thorough"}};

const std::vector<Option> kTwoCommands = {
    {"1", "Yes", ""},
    {"2", "Yes, and always allow access to /tmp/two-lab/work from this project", ""},
    {"3", "Yes, and switch to auto mode · auto mode handles these prompts for you", ""},
    {"4", "No", ""}};

INSTANTIATE_TEST_SUITE_P(
    Fixtures, AgentScreens,
    ::testing::Values(
        FixtureCase{"ask-single.txt",
                    "Which colour should the login button be?",
                    {{"1", "Blue", "Matches the brand palette"},
                     {"2", "Green", "Reads as go"},
                     {"3", "Orange", "Stands out the most"}},
                    1,
                    4,
                    false,
                    {}},
        FixtureCase{
            "ask-multi.txt", "Which checks should run before merge?", kChecks, 1, 4, true, {}},
        // Cut to the bottom of the screen: the question is not on it.
        FixtureCase{"ask-multi-ticked.txt", "", kChecks, 1, 4, true, {"1"}},
        FixtureCase{"ask-two-1.txt",
                    "Which database should we use?",
                    {{"1", "PostgreSQL", "Relational"}, {"2", "SQLite", "Embedded"}},
                    1,
                    3,
                    false,
                    {}},
        FixtureCase{"ask-two-2.txt",
                    "Which port should it listen on?",
                    {{"1", "5432", "Default"}, {"2", "6543", "Alternate"}},
                    1,
                    3,
                    false,
                    {}},
        FixtureCase{
            "perm-bash.txt",
            "Do you want to proceed?",
            {{"1", "Yes", ""},
             {"2", "Yes, and always allow access to /tmp/ccwork from this project", ""},
             {"3", "Yes, and switch to auto mode · auto mode handles these prompts for you", ""},
             {"4", "No", ""}},
            1,
            0,
            false,
            {}},
        FixtureCase{
            "perm-bash-long.txt",
            "Do you want to proceed?",
            {{"1", "Yes", ""},
             {"2", "Yes, and always allow access to /tmp/show-lab/work from this project", ""},
             {"3", "Yes, and switch to auto mode · auto mode handles these prompts for you", ""},
             {"4", "No", ""}},
            1,
            0,
            false,
            {}},
        FixtureCase{"perm-edit.txt",
                    "Do you want to make this edit to velmo-edit.txt?",
                    kEditChoices,
                    1,
                    0,
                    false,
                    {}},
        FixtureCase{
            "perm-write.txt", "Do you want to create velmo-new.txt?", kEditChoices, 1, 0, false, {}},
        // Drawn without a footer line.
        FixtureCase{"perm-fetch.txt",
                    "Do you want to allow Claude to fetch this content?",
                    {{"1", "Yes", ""},
                     {"2", "Yes, and don't ask again for 127.0.0.1", ""},
                     {"3", "No, and tell Claude what to do differently (esc)", ""}},
                    1,
                    0,
                    false,
                    {}},
        // Two shell commands of one reply, asked in turn: the same question and options.
        FixtureCase{"perm-two-1.txt", "Do you want to proceed?", kTwoCommands, 1, 0, false, {}},
        FixtureCase{"perm-two-2.txt", "Do you want to proceed?", kTwoCommands, 1, 0, false, {}}),
    [](const auto& info) {
      std::string name = info.param.file;
      name = name.substr(0, name.find('.'));
      return Text::replaceAll(name, "-", "_");
    });

TEST(AgentScreens, PlanApprovalsAskUnderTheirHeading) {
  auto plan = parse(*Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/plan-approval.txt"));
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->question, "Ready to code?");
  EXPECT_EQ(labels(*plan), (std::vector<std::string>{"1 Yes, and use auto mode",
                                                     "2 Yes, manually approve edits"}));
  EXPECT_EQ(plan->freeRow, 3);
  // The body is the plan, and the question the agent closes it with.
  EXPECT_EQ(plan->body, (std::vector<std::string>{"Here is Claude's plan:", "Add a dark theme",
                                                  "1. Collect the colours into custom properties.",
                                                  "2. Add a dark palette behind a media query.",
                                                  "3. Check the contrast of every text colour.",
                                                  "Would you like to proceed?"}));
  EXPECT_EQ(plan->context, "Here is the plan.");

  auto bare =
      parse(*Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/plan-approval-bare.txt"));
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->question, "Exit plan mode?");
  EXPECT_EQ(labels(*bare),
            (std::vector<std::string>{
                "1 Yes, and switch to default (ask each time) for this session", "2 No"}));
  EXPECT_EQ(bare->body, std::vector<std::string>{"Claude wants to exit plan mode"});
  EXPECT_EQ(bare->freeRow, 0);

  // A session with a name has it drawn into a rule under the prompt.
  auto named = parse(
      *Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/plan-approval-bare-named.txt"));
  ASSERT_TRUE(named);
  EXPECT_EQ(named->question, "Exit plan mode?");
  EXPECT_EQ(labels(*named), labels(*bare));
  EXPECT_EQ(named->cursor, 1);
  // The input box keeps its rule without a name, and a rule alone is no prompt.
  EXPECT_FALSE(parse("Exit plan mode?\n\n ❯ 1. Yes\n   2. No\n──────────────\n"));
  EXPECT_FALSE(parse("● Done.\n──────── soak-a1 ─\n"));
}

TEST(AgentScreens, AWrappedLabelIsCompletedFromTheQuestionAsked) {
  auto p = parse(*Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/ask-long-label.txt"));
  ASSERT_TRUE(p);
  const std::string full =
      "Say welcome back to the whole team and remind everyone that the quarterly planning "
      "notes, the style checklist and the open review queue are all waiting in the left panel";
  EXPECT_NE(p->options[1].label, full);
  Picker whole = Terminals::completeLabels(*p, {"Hello again", full, "Nothing"});
  EXPECT_EQ(whole.options[1].label, full);
  EXPECT_EQ(whole.options[1].detail, "Says everything at once");
  EXPECT_EQ(whole.options[0].detail, "Short and plain");
  EXPECT_EQ(whole.freeRow, 4);
}

TEST(AgentScreens, ContextAndBodyOfTheRealAgent) {
  auto ask = parse(*Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/ask-single.txt"));
  ASSERT_TRUE(ask);
  // The agent marks its messages with "●" on Linux.
  EXPECT_EQ(ask->context, "Let me check with you first.");

  auto perm = parse(*Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/perm-bash.txt"));
  ASSERT_TRUE(perm);
  // The dashed rules around the command are drawing and stay out of the body.
  EXPECT_EQ(perm->body, (std::vector<std::string>{"Bash command", "Create a probe file",
                                                  "touch velmo-probe.txt && ls -la"}));

  // Of two commands asked in turn, each prompt's body holds its own command.
  auto first = parse(*Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/perm-two-1.txt"));
  auto second = parse(*Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/perm-two-2.txt"));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->body, (std::vector<std::string>{"Bash command", "Create a marker file",
                                                   "touch velmo-one.txt"}));
  EXPECT_EQ(second->body, (std::vector<std::string>{"Bash command", "Create a marker file",
                                                    "touch velmo-two.txt"}));
}

// What the owner approves is in the body, line by line as the agent draws it.
TEST(AgentScreens, FileAndFetchPromptsCarryWhatTheyApprove) {
  auto read = [](const char* name) {
    auto p = parse(*Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/" + name));
    return p ? p->body : std::vector<std::string>{"no prompt in " + std::string(name)};
  };
  // An edit: the path, then the changed lines with their numbers and signs.
  EXPECT_EQ(read("perm-edit.txt"),
            (std::vector<std::string>{"Edit file", "velmo-edit.txt", "1 -colour = blue",
                                      "1 +colour = green", "2 +border = thin", "3  size = large"}));
  EXPECT_EQ(read("perm-write.txt"),
            (std::vector<std::string>{"Create file", "velmo-new.txt", "1 first line of the new file",
                                      "2 second line", "3 third line"}));
  EXPECT_EQ(read("perm-fetch.txt"),
            (std::vector<std::string>{"Fetch", "Claude wants to fetch content from 127.0.0.1",
                                      "url: http://127.0.0.1:9/velmo-probe",
                                      "prompt: Say what the page holds."}));

  // A command longer than the pane: the agent folds it itself, each row behind a gutter,
  // and every row of it reaches the body.
  auto body = read("perm-bash-long.txt");
  ASSERT_EQ(body.size(), 8u);
  EXPECT_EQ(body[0], "Bash command");
  EXPECT_EQ(body[1], "Write forty words into a file");
  std::string command;
  for (size_t i = 2; i < body.size(); ++i) {
    ASSERT_TRUE(Text::startsWith(body[i], "│ ")) << body[i];
    command += (command.empty() ? "" : " ") + body[i].substr(std::string("│ ").size());
  }
  std::string words;
  for (int n = 1; n <= 40; ++n) {
    char word[20];
    std::snprintf(word, sizeof word, " velmo-word-%03d", n);
    words += word;
  }
  EXPECT_EQ(command, "printf '%s\\n'" + words + " > velmo-long.txt");
}

TEST(Picker, ALongBodyLineIsKeptWhole) {
  // tmux joins the rows of a line the terminal wrapped: one address of 700 characters.
  const std::string address = "http://127.0.0.1:9/" + std::string(700, 'a') + "/end";
  auto p = parse(lines({border(), " Fetch", " url: " + address, "",
                        " Do you want to allow Claude to fetch this content?", " ❯ 1. Yes",
                        "   2. No", "", " Esc to cancel · Tab to amend"}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->body, (std::vector<std::string>{"Fetch", "url: " + address}));
}

// ---- prompts with a footer ----

TEST(Picker, PermissionPromptGivesOptionsCursorAndBody) {
  auto p = parse(
      lines({"● I'll run the tests now.", "", border(), " Bash command", "", "   npm test",
             "   Run the tests", "", " Do you want to proceed?", " ❯ 1. Yes",
             "   2. Yes, and don't ask again", "   3. No", "", " Esc to cancel · Tab to amend"}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->question, "Do you want to proceed?");
  EXPECT_EQ(labels(*p), (std::vector<std::string>{"1 Yes", "2 Yes, and don't ask again", "3 No"}));
  EXPECT_EQ(p->cursor, 1);
  EXPECT_EQ(p->freeRow, 0);
  EXPECT_FALSE(p->multi);
  EXPECT_EQ(p->body, (std::vector<std::string>{"Bash command", "npm test", "Run the tests"}));
  EXPECT_EQ(p->context, "I'll run the tests now.");
}

TEST(Picker, FreeTextRowIsNotAnOptionAndChatRowIsIgnored) {
  auto p = parse(
      lines({"Pick one?", "❯ 1. A", "  2. B", "  3. C", "  4. Type something.", border(),
             "  5. Chat about this", "", "Enter to select · ↑/↓ to navigate · Esc to cancel"}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->freeRow, 4);
  EXPECT_EQ(labels(*p), (std::vector<std::string>{"1 A", "2 B", "3 C"}));
}

TEST(Picker, CheckBoxesMakeMultipleChoice) {
  auto p = parse(lines({"Which?", "❯ 1. [ ] Alpha", "  2. [x] Beta", "  3. [✔] Gamma",
                        "  4. [ ] Type something", "     Submit", "",
                        "Enter to select · ↑/↓ to navigate · Esc to cancel"}));
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->multi);
  EXPECT_EQ(p->checked, (std::set<std::string>{"2", "3"}));
  EXPECT_EQ(labels(*p), (std::vector<std::string>{"1 Alpha", "2 Beta", "3 Gamma"}));
  // The free-text row carries a check box of its own in the agent's multiple choice.
  EXPECT_EQ(p->freeRow, 4);
  EXPECT_EQ(p->options[2].detail, "");
}

TEST(Picker, MarkerOnTheSubmitRowPutsTheCursorPastTheLastRow) {
  auto p = parse(lines({"Which?", "  1. [ ] Alpha", "  2. [ ] Beta", "  3. [ ] Type something",
                        "❯    Submit", border(), "  4. Chat about this", "",
                        "Enter to select · ↑/↓ to navigate · Esc to cancel"}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->cursor, 4);
}

TEST(Picker, FooterVariants) {
  const std::vector<std::string> rows = {"Go on?", "❯ 1. Yes", "  2. No", ""};
  auto with = [&](std::initializer_list<std::string> footer) {
    // The blank row above the footer keeps the reading of footer-less prompts out of it.
    std::vector<std::string> all = rows;
    all.insert(all.end(), footer);
    return Terminals::parsePicker(all, "/dev/pts/1");
  };
  EXPECT_TRUE(with({"ctrl+g to edit in Vim"}));
  EXPECT_TRUE(with({"Esc to exit · Enter to confirm"}));
  EXPECT_TRUE(with({"Tab/Arrow keys to navigate   ·   Esc  to  cancel"}));
  // A footer broken over two rows is still read.
  auto two = with({"Enter to select · ↑/↓ to navigate", "Esc to cancel"});
  ASSERT_TRUE(two);
  EXPECT_EQ(labels(*two), (std::vector<std::string>{"1 Yes", "2 No"}));
}

TEST(Picker, PromptScrolledAwayIsNotReported) {
  std::vector<std::string> screen = {
      "Go on?",  "❯ 1. Yes", "  2. No", "Esc to cancel · Tab to amend",
      "later 1", "",         "later 2", "later 3"};
  EXPECT_TRUE(Terminals::parsePicker(screen, "/dev/pts/1"));
  screen.push_back("later 4");
  EXPECT_FALSE(Terminals::parsePicker(screen, "/dev/pts/1"));
}

TEST(Picker, QuestionTakesAtMostTwoLinesAboveAndStopsAtTheTabBar) {
  auto p = parse(lines({border(), "Which of these files", "should we keep?", "", "❯ 1. a.txt",
                        "  2. b.txt", "Esc to cancel · Tab to amend"}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->question, "Which of these files should we keep?");

  auto tabs = parse(lines({"←  ☐ Keep  ✔ Submit  →", "Which of these", "should we keep?",
                           "❯ 1. a.txt", "Esc to cancel · Tab to amend"}));
  ASSERT_TRUE(tabs);
  EXPECT_EQ(tabs->question, "Which of these should we keep?");

  auto many =
      parse(lines({"one", "two", "three", "four?", "❯ 1. a", "Esc to cancel · Tab to amend"}));
  ASSERT_TRUE(many);
  EXPECT_EQ(many->question, "two three four?");
}

TEST(Picker, DetailsBelongToTheOptionAbove) {
  auto p = parse(lines({"Which?", "❯ 1. Blue", "     Calm", "     and quiet", "  2. Red",
                        "Esc to cancel · Tab to amend"}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->options[0].detail, "Calm and quiet");
  EXPECT_EQ(p->options[1].detail, "");
}

// ---- review screens ----

TEST(Review, ReadyToSubmitScreen) {
  auto p =
      parse(lines({"Review your answers", "", " ● Database?", "   → SQLite", "",
                   "Ready to submit your answers?", "", "❯ 1. Submit answers", "  2. Cancel"}));
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->review);
  EXPECT_EQ(p->question, Lang::pick("Ready to submit your answers?", "לשלוח את התשובות?"));
  EXPECT_EQ(p->context, "● Database?\n→ SQLite");
  EXPECT_EQ(labels(*p), (std::vector<std::string>{"1 Submit answers", "2 Cancel"}));
  EXPECT_EQ(p->cursor, 1);
  EXPECT_TRUE(p->body.empty());
}

TEST(Review, HeadingAloneAsTheAgentDrawsIt) {
  // As the real agent draws it: no "Ready to submit" line, no footer, blank rows under it.
  auto p = parse(
      lines({border(), "←  ☒ Checks  ✔ Submit  →", "", "Review your answers", "                   ",
             " ● Which checks should run before merge?", "   → Lint    ", "              ",
             "  1. Submit answers", "❯ 2. Cancel", "                       ", "", "      "}));
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->review);
  EXPECT_EQ(p->context, "● Which checks should run before merge?\n→ Lint");
  EXPECT_EQ(p->cursor, 2);
  EXPECT_EQ(Terminals::signature(*p), "R|" + p->question + "|Submit answers|Cancel");
}

TEST(Review, NeedsASubmitRowAndTheBottomOfTheScreen) {
  auto noSubmit = parse(lines({"Review your answers", "→ x", "❯ 1. Send", "  2. Cancel"}));
  EXPECT_FALSE(noSubmit && noSubmit->review);
  auto scrolled = parse(lines({"Review your answers", "→ x", "❯ 1. Submit answers", "  2. Cancel",
                               "", "a", "b", "c", "d"}));
  EXPECT_FALSE(scrolled && scrolled->review);
}

// ---- prompts without a footer ----

TEST(BarePrompt, PlanApprovalAtTheBottomIsRead) {
  auto p =
      parse(lines({border(), " Exit plan mode?", "", " Here is Claude's plan:", " 1. Add the form",
                   " 2. Wire the call", "", " Would you like to proceed?", "",
                   " ❯ 1. Yes, and auto-accept edits", "   2. Yes, and manually approve edits",
                   "   3. No, keep planning", "", ""}));
  ASSERT_TRUE(p);
  // The question is the approval's heading; the plan and the closing question are its body.
  EXPECT_EQ(p->question, "Exit plan mode?");
  EXPECT_EQ(p->body, (std::vector<std::string>{"Here is Claude's plan:", "1. Add the form",
                                               "2. Wire the call", "Would you like to proceed?"}));
  EXPECT_EQ(labels(*p),
            (std::vector<std::string>{"1 Yes, and auto-accept edits",
                                      "2 Yes, and manually approve edits", "3 No, keep planning"}));
}

TEST(BarePrompt, PermissionWithoutFooterIsRead) {
  auto p = parse(lines({border(), " Fetch", "   https://example.com", "",
                        " Do you want to allow Claude to fetch this content?", "   1. Yes",
                        " ❯ 2. Yes, and don't ask again for example.com",
                        "   3. No, and tell Claude what to do differently (esc)"}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->cursor, 2);
  EXPECT_EQ(p->body, (std::vector<std::string>{"Fetch", "https://example.com"}));
}

TEST(BarePrompt, InputBoxAndOrdinaryOutputAreNotPrompts) {
  // The idle agent: its input box between borders.
  EXPECT_FALSE(parse(lines({"● Which do you prefer?", "  1. Apples", "  2. Pears", "", border(),
                            "❯  ", border(), "  ? for shortcuts"})));
  // The user typing a numbered line into the input box under a numbered list.
  EXPECT_FALSE(parse(lines({"● Which do you prefer?", "  1. Apples", "  2. Pears", border(),
                            "❯ 3. Plums", border(), "  ? for shortcuts"})));
  // Output ending in a numbered list, with no marked row.
  EXPECT_FALSE(parse(lines({"Steps to take?", "1. Build", "2. Test", "3. Ship"})));
  // A marker on a row of its own under the list.
  EXPECT_FALSE(parse(lines({"Steps to take?", "1. Build", "2. Test", "❯ "})));
  // Rows that do not count up from 1 without gaps.
  EXPECT_FALSE(parse(lines({"Steps to take?", "❯ 1. Build", "3. Ship"})));
}

// ---- the agent's words above the prompt ----

TEST(Context, BothMessageMarksAndNoToolCalls) {
  auto p =
      parse(lines({"❯ do it", "", "⏺ First I looked around.", "", "● Bash(ls -la)",
                   "  ⎿  total 0", "", "● Then I thought about it", "  for a while.", "", border(),
                   "Go on?", "❯ 1. Yes", "  2. No", "Esc to cancel · Tab to amend"}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->context, "First I looked around.\n\nThen I thought about it\nfor a while.");
}

TEST(Context, MessageWhoseStartScrolledAway) {
  auto p = parse(lines({"  the end of a long thought", "  and its last line.", border(), "Go on?",
                        "❯ 1. Yes", "Esc to cancel · Tab to amend"}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->context, "… the end of a long thought\nand its last line.");
}

// ---- long labels ----

TEST(Labels, FullLabelReplacesTheOneTheAgentWrapped) {
  auto p =
      parse(lines({"Allow?", "❯ 1. Yes", "  2. Yes, and always allow access to /a/very/long/folder",
                   "     from this project", "     Remembered for later", "  3. No",
                   "Esc to cancel · Tab to amend"}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->options[1].label, "Yes, and always allow access to /a/very/long/folder");
  Picker full = Terminals::completeLabels(
      *p, {"Yes", "Yes, and always allow access to /a/very/long/folder from this project", "No"});
  EXPECT_EQ(full.options[0].label, "Yes");
  EXPECT_EQ(full.options[1].label,
            "Yes, and always allow access to /a/very/long/folder from this project");
  EXPECT_EQ(full.options[1].detail, "Remembered for later");
  EXPECT_EQ(full.options[2].label, "No");
}

TEST(Labels, ALongerLabelThatOnlyStartsTheSameIsNotTaken) {
  Picker p;
  p.options = {{"1", "Yes", ""}, {"2", "Yes, and don't ask again", ""}};
  Picker same = Terminals::completeLabels(p, {"Yes, and don't ask again", "Yes, please"});
  EXPECT_EQ(same.options[0].label, "Yes");
}

// ---- dumps ----

class Screens : public ::testing::Test {
 protected:
  void SetUp() override { Caches::emptyAll(); }
  void TearDown() override { Caches::emptyAll(); }
  FakeClock clock;
  ScriptedHost host;
  const std::string prompt =
      lines({"Go on?", "❯ 1. Yes", "  2. No", "Esc to cancel · Tab to amend"});
};

TEST_F(Screens, DumpHeadersGiveTtysAndWindowIds) {
  auto screens = Terminals::splitDump(
      "ignored<<T>>ttys003|W|5\nA\n<<T>>/dev/pts/1|W|@7\nB\nC\n<<T>>/dev/pts/2\nD", "<<T>>");
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[0].tty, "/dev/pts/1");
  EXPECT_EQ(screens[0].window, 7);
  EXPECT_EQ(screens[0].text, "B\nC\n");
  EXPECT_EQ(screens[1].tty, "/dev/pts/2");
  EXPECT_FALSE(screens[1].window);
}

TEST_F(Screens, EveryReadTerminalCountsAndAFailedDumpKeepsThem) {
  host.show("/dev/pts/1", prompt);
  host.show("/dev/pts/2", "$ ls\n");
  auto scan = Terminals::pickers(true);
  EXPECT_TRUE(scan.readable);
  ASSERT_EQ(scan.list.size(), 1u);
  EXPECT_EQ(scan.list[0].tty, "/dev/pts/1");
  EXPECT_EQ(Terminals::pickerTTYs(), (std::set<std::string>{"/dev/pts/1", "/dev/pts/2"}));
  EXPECT_EQ(Terminals::windowIDs().size(), 2u);

  host.setReadable(false);
  scan = Terminals::pickers(true);
  EXPECT_FALSE(scan.readable);
  EXPECT_TRUE(scan.list.empty());
  EXPECT_EQ(Terminals::pickerTTYs().size(), 2u);
  EXPECT_EQ(Terminals::windowIDs().size(), 2u);
}

TEST_F(Screens, ADumpIsSharedForASecondAndAHalf) {
  host.show("/dev/pts/1", prompt);
  Terminals::pickers();
  clock.advance(1.0);
  Terminals::pickers();
  EXPECT_EQ(host.dumps(), 1);
  Terminals::pickers(true);
  EXPECT_EQ(host.dumps(), 2);
  clock.advance(1.6);
  Terminals::pickers();
  EXPECT_EQ(host.dumps(), 3);
}

TEST_F(Screens, StableReadingOfAnInvisibleTerminalReturnsAtOnce) {
  host.show("/dev/pts/2", prompt);
  auto r = Terminals::stablePicker("/dev/pts/1");
  EXPECT_FALSE(r.seen);
  EXPECT_FALSE(r.picker);
  EXPECT_EQ(host.dumps(), 2);
}

TEST_F(Screens, ReadingsThatDifferInTheMarkerRowAreNotStable) {
  const std::string second =
      lines({"Go on?", "  1. Yes", "❯ 2. No", "Esc to cancel · Tab to amend"});
  host.onDump([&](ScriptedHost& h, int n) { h.show("/dev/pts/1", n % 2 ? second : prompt); });
  auto r = Terminals::stablePicker("/dev/pts/1");
  EXPECT_TRUE(r.seen);
  // Readings that never agreed give no prompt to act on.
  EXPECT_FALSE(r.picker);
  EXPECT_FALSE(r.settled);
  EXPECT_EQ(host.dumps(), 9);

  host.onDump(nullptr);
  host.show("/dev/pts/1", prompt);
  auto steady = Terminals::stablePicker("/dev/pts/1");
  EXPECT_TRUE(steady.seen);
  ASSERT_TRUE(steady.picker);
  EXPECT_EQ(host.dumps(), 11);
}

TEST(ScreenBody, ALongChangeIsKeptWholeAndTwoChangesAreTwoPrompts) {
  constexpr int kChanged = 45;
  // A tall pane shows an edit of 45 changed lines between the prompt's edge and its question.
  auto edit = [](const std::string& mark) {
    std::vector<std::string> rows = {border(), " Edit file", " notes.txt"};
    for (int i = 1; i <= kChanged; ++i) rows.push_back(" " + std::to_string(i) + " +" + mark + " line");
    rows.insert(rows.end(), {"", " Do you want to make this edit to notes.txt?", " ❯ 1. Yes",
                             "   2. No", "", " Esc to cancel · Tab to amend"});
    return Text::join(rows, "\n") + "\n";
  };
  auto first = parse(edit("first"));
  auto second = parse(edit("second"));
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  ASSERT_EQ(first->body.size(), 47u);
  EXPECT_EQ(first->body.front(), "Edit file");
  EXPECT_EQ(first->body.back(), "45 +first line");
  EXPECT_EQ(Terminals::signature(*first), Terminals::signature(*second));
  EXPECT_NE(Terminals::promptKey(*first), Terminals::promptKey(*second));
}
