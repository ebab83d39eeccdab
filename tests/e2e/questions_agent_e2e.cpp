// The real agent asks a question: Velmo finds it open in the transcript, shows the chat
// around it, and sees it go once the person picks an option in the pane.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "base/files.h"
#include "base/text.h"
#include "sessions/language.h"
#include "sessions/questions.h"
#include "sessions/transcript.h"
#include "support/agent_lab.h"
#include "support/home.h"
#include "support/tmux_lab.h"

TEST(QuestionsWithAgent, OpenQuestionIsFoundThenGoneOnceAnswered) {
  if (AgentLab::agentBinary().empty())
    GTEST_SKIP() << AgentLab::whyNoAgent();
  ScopedHome home;
  ScopedLanguage english("en");
  PrivateTmux tmux;
  AgentLab lab(tmux, home.path());
  ASSERT_TRUE(lab.ready());
  std::string pane = lab.start("ask", home.path() + "/work");
  ASSERT_FALSE(pane.empty());
  ASSERT_TRUE(waitFor([&] { return Text::contains(lab.screen(pane), "❯"); }, 90))
      << lab.screen(pane);

  std::string sid;
  const std::string registry =
      home.agent("sessions/" + std::to_string(tmux.panePid(pane)) + ".json");
  lab.type(pane, "Please ASKME about the button");
  ASSERT_TRUE(waitFor(
      [&] {
        auto doc = nlohmann::json::parse(Files::read(registry).value_or(""), nullptr, false);
        if (doc.is_object() && doc.contains("sessionId")) sid = doc["sessionId"];
        return !sid.empty();
      },
      30));

  std::optional<PendingQuestion> q;
  ASSERT_TRUE(waitFor([&] { return (q = Questions::pending(sid)).has_value(); }, 60))
      << lab.screen(pane);
  EXPECT_EQ(q->kind, "ask");
  EXPECT_TRUE(Text::startsWith(q->toolID, "toolu_"));
  EXPECT_EQ(q->context, "Let me check with you first.");
  ASSERT_EQ(q->parts.size(), 1u);
  EXPECT_EQ(q->parts[0].question, "Which colour should the login button be?");
  ASSERT_EQ(q->parts[0].choices.size(), 3u);
  EXPECT_EQ(q->parts[0].choices[1].label, "Green");
  EXPECT_EQ(q->parts[0].choices[1].detail, "Reads as go");

  Reading open = Transcript::read(sid, 24);
  ASSERT_GE(open.lines.size(), 3u);
  EXPECT_EQ(open.lines[0].role, "you");
  EXPECT_EQ(open.lines[0].text, "Please ASKME about the button");
  EXPECT_EQ(open.lines.back().role, "tool");
  EXPECT_EQ(open.lines.back().text, "AskUserQuestion");

  // The person picks the second option in the pane.
  ASSERT_TRUE(waitFor([&] { return Text::contains(lab.screen(pane), "Green"); }, 30));
  tmux.run({"send-keys", "-t", pane, "Down"});
  ASSERT_TRUE(waitFor([&] { return Text::contains(lab.screen(pane), "❯ 2. Green"); }, 20));
  // A key that lands while the agent redraws can be lost, as for a person: press again.
  bool gone = false;
  for (int attempt = 0; attempt < 3 && !gone; ++attempt) {
    if (Text::contains(lab.screen(pane), "❯ 2. Green")) tmux.run({"send-keys", "-t", pane, "Enter"});
    gone = waitFor([&] { return !Questions::pending(sid).has_value(); }, 20);
  }
  ASSERT_TRUE(gone) << lab.screen(pane);

  ASSERT_TRUE(waitFor(
      [&] {
        Reading r = Transcript::read(sid, 24);
        return !r.lines.empty() && r.lines.back().role == "claude" &&
               Text::contains(r.lines.back().text, "=\"Green\"");
      },
      60))
      << lab.screen(pane);

  // The trace holds the question's arrival and its end.
  std::string trace = Files::read(home.agent("velmo-asks.log")).value_or("");
  EXPECT_TRUE(Text::contains(trace, sid + " ")) << trace;
  EXPECT_TRUE(Text::contains(trace, " ask=ask:" + q->toolID + "\n")) << trace;
  EXPECT_TRUE(Text::endsWith(trace, " ask=-\n")) << trace;
}
