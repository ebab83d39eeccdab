// The transcripts the real agent wrote (tests/fixtures/agent-home) read as the chat a person saw,
// and their open questions are found as the agent left them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "base/text.h"
#include "sessions/language.h"
#include "sessions/questions.h"
#include "sessions/transcript.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

namespace {

constexpr const char* kAsked = "74facb20-fb02-4371-8e3d-65ac87fe0356";  // one answered question
constexpr const char* kMany = "c6d3753b-3e5b-413d-a41c-3796870a5b9a";  // commands, a refusal, forms
constexpr const char* kPlanning =
    "e3913108-c290-4c1e-9f21-69845159b213";  // plan approval left open

class RealChats : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock{1796747700};
  void SetUp() override { copyFixtureAgentHome(home); }
};

std::vector<std::string> rows(const Reading& r) {
  std::vector<std::string> out;
  for (const Line& l : r.lines)
    out.push_back(l.role + ": " + l.text + (l.arg.empty() ? "" : " | " + l.arg));
  return out;
}

const std::string kRefusal =
    "Noted. The tool said: The user doesn't want to proceed with this tool use. The tool use "
    "was rejected (eg. if it was a file edit, the new_string was NOT written to the file). "
    "STOP what you are doing and wait for the user to tell you how to proceed.";

}  // namespace

TEST_F(RealChats, CommandsRefusalsAndFormsReadAsTheConversation) {
  Reading r = Transcript::read(kMany, 24);
  EXPECT_TRUE(r.atStart);
  EXPECT_EQ(
      rows(r),
      (std::vector<std::string>{
          "you: Please RUNCMD now",
          "claude: Let me check with you first.",
          "tool: running a command | touch velmo-probe.txt && ls -la",
          "claude: Noted. The tool said: total 8\n"
          "drwxr-xr-x  2 root root 4096 Dec  8 16:32 .\n"
          "drwxrwxrwt 12 root root 4096 Dec  8 16:31 ..\n"
          "-rw-r--r--  1 root root    0 Dec  8 16:32 velmo-probe.txt",
          "you: Now WRITEIT please",
          "claude: Let me check with you first.",
          "tool: writing a file | /tmp/velmo-probe-note.md",
          // The agent writes this note itself, as a user record, when the person
          // turns a tool call down.
          "you: [Request interrupted by user for tool use]",
          "you: MULTI time",
          "claude: " + kRefusal,
          "you: MULTI time",
          "claude: Let me check with you first.",
          "tool: AskUserQuestion",
          "you: [Request interrupted by user for tool use]",
          "you: TWOQ now",
          "claude: Let me check with you first.",
          "tool: AskUserQuestion",
          "claude: Noted. The tool said: Your questions have been answered: \"Which database "
          "should we use?\"=\"SQLite\", \"Which port should it listen on?\"=\"5432\". You can "
          "now continue with these answers in mind.",
      }));
  EXPECT_DOUBLE_EQ(r.lines.front().time, 1796747544.650);  // 2026-12-08T16:32:24.650Z

  // Five sayings back from the end, and not the start.
  Reading window = Transcript::read(kMany, 5);
  EXPECT_FALSE(window.atStart);
  EXPECT_EQ(rows(window), (std::vector<std::string>{
                              "claude: Let me check with you first.",
                              "tool: AskUserQuestion",
                              "you: [Request interrupted by user for tool use]",
                              "you: TWOQ now",
                              "claude: Let me check with you first.",
                              "tool: AskUserQuestion",
                              rows(r).back(),
                          }));
}

TEST_F(RealChats, AnsweredQuestionLeavesNothingOpen) {
  EXPECT_EQ(rows(Transcript::read(kAsked, 24)),
            (std::vector<std::string>{
                "you: Please ASKME about the button",
                "claude: Let me check with you first.",
                "tool: AskUserQuestion",
                "claude: Noted. The tool said: Your questions have been answered: \"Which colour "
                "should the login button be?\"=\"Green\". You can now continue with these answers "
                "in mind.",
            }));
  EXPECT_FALSE(Questions::pending(kAsked));
  EXPECT_FALSE(Questions::pending(kMany));  // its forms were refused or answered
}

TEST_F(RealChats, PlanApprovalWithoutAResultIsOpen) {
  auto q = Questions::pending(kPlanning);
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->sid, kPlanning);
  EXPECT_EQ(q->toolID, "toolu_e07c1e41879b4ce39060");
  EXPECT_EQ(q->kind, "plan");
  EXPECT_TRUE(q->parts.empty());
  EXPECT_EQ(q->plan, "1. Add a login form\n2. Wire it to the session API\n3. Write tests");
  EXPECT_DOUBLE_EQ(q->since, 1796747647.934);  // 2026-12-08T16:34:07.934Z
  EXPECT_EQ(q->context, "Let me check with you first.");

  Reading r = Transcript::read(kPlanning, 24);
  ASSERT_EQ(r.lines.size(), 5u);
  EXPECT_EQ(r.lines[0].text, "PLANME for the login");
  // The agent's reply is shown as it was written, even where it quotes a reminder.
  EXPECT_EQ(r.lines[1].role, "claude");
  EXPECT_EQ(r.lines[1].text.rfind("Sure. <system-reminder>\nAttribution", 0), 0u);
  EXPECT_EQ(r.lines[2].text, "PLANME for the login");
  EXPECT_EQ(r.lines[4].role, "tool");
  EXPECT_EQ(r.lines[4].text, "ExitPlanMode");
  EXPECT_EQ(r.lines[4].arg, "");
}

TEST_F(RealChats, OpenQuestionOfTheRealFormIsReadWithItsOptions) {
  // The answered form of the first transcript, with its answer taken away.
  std::string text;
  for (const std::string& line : Text::split(
           *Files::read(home.agent(std::string("projects/-tmp-ccwork/") + kAsked + ".jsonl")),
           '\n'))
    if (line.find("\"tool_use_id\"") == std::string::npos) text += line + "\n";
  writeTranscript(home, "open-form", text, "-tmp-ccwork");

  auto q = Questions::pending("open-form");
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->kind, "ask");
  EXPECT_EQ(q->toolID, "toolu_49e20cbfeebe40c0b99e");
  EXPECT_EQ(q->context, "Let me check with you first.");
  ASSERT_EQ(q->parts.size(), 1u);
  EXPECT_EQ(q->parts[0].question, "Which colour should the login button be?");
  EXPECT_EQ(q->parts[0].header, "Colour");
  EXPECT_FALSE(q->parts[0].multi);
  ASSERT_EQ(q->parts[0].choices.size(), 3u);
  EXPECT_EQ(q->parts[0].choices[0].label, "Blue");
  EXPECT_EQ(q->parts[0].choices[0].detail, "Matches the brand palette");
  EXPECT_EQ(q->parts[0].choices[2].label, "Orange");
  EXPECT_EQ(q->parts[0].choices[2].detail, "Stands out the most");
}
