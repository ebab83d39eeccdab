// Answering the real agent's prompts in a private tmux server, against the scripted
// model API of agent-lab. Skipped, with the reason, when the agent cannot be installed.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "base/caches.h"
#include "base/files.h"
#include "base/text.h"
#include "sessions/language.h"
#include "support/agent_lab.h"
#include "support/home.h"
#include "support/tmux_lab.h"
#include "terminals/answer.h"
#include "terminals/automation.h"
#include "terminals/picker.h"
#include "terminals/tmux_host.h"

namespace {

class RealAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    if (AgentLab::agentBinary().empty()) GTEST_SKIP() << AgentLab::whyNoAgent();
    lab = std::make_unique<AgentLab>(tmux, home.path());
    ASSERT_TRUE(lab->ready());
    Terminals::installHost(std::make_shared<Terminals::TmuxHost>());
    Caches::emptyAll();
  }

  void TearDown() override {
    Terminals::installHost(nullptr);
    Caches::emptyAll();
  }

  // Starts the agent and waits until it takes input; returns its tty.
  std::string startAgent(const std::vector<std::string>& extra = {}) {
    pane = lab->start("agent", work, extra);
    if (pane.empty()) return "";
    if (!lab->waitForInput(pane, 60))
      ADD_FAILURE() << "the agent never showed its input box:\n" << tmux.capture(pane);
    return tmux.paneTty(pane);
  }

  std::optional<Terminals::Picker> waitForPrompt(const std::string& tty) {
    std::optional<Terminals::Picker> found;
    waitFor(
        [&] {
          for (const auto& p : Terminals::pickers(true).list)
            if (p.tty == tty) found = p;
          return found.has_value();
        },
        45);
    if (!found) ADD_FAILURE() << "no prompt appeared:\n" << tmux.capture(pane);
    return found;
  }

  // Whether the scripted API has been told `text` (as it stands in its JSON log).
  bool apiHeard(const std::string& text) {
    return waitFor([&] { return Text::contains(lab->apiLog(), text); }, 30);
  }

  ScopedHome home;
  ScopedLanguage english{"en"};
  PrivateTmux tmux;
  std::unique_ptr<AgentLab> lab;
  const std::string work = home.path() + "/work";
  std::string pane;
};

// The permission box at the screen's foot, from its top edge down: the agent's logo and the
// running tool's marker above it blink, so only this part holds still while it waits.
std::string promptBox(const std::string& screen) {
  size_t edge = screen.rfind("────");
  return edge == std::string::npos ? screen : screen.substr(screen.rfind('\n', edge) + 1);
}

// The prompt as a card drawn from this reading means it: that very prompt, command and all.
Terminals::Meant meant(const Terminals::Picker& p) {
  return [key = Terminals::promptKey(p)](const Terminals::Picker& q) {
    return Terminals::promptKey(q) == key;
  };
}

std::vector<std::string> labels(const Terminals::Picker& p) {
  std::vector<std::string> out;
  for (const auto& o : p.options) out.push_back(o.label);
  return out;
}

}  // namespace

TEST_F(RealAgent, SingleChoiceQuestionIsAnswered) {
  std::string tty = startAgent();
  ASSERT_FALSE(tty.empty());
  // Typing the request is itself a check of send's confirmation on the real agent.
  ASSERT_TRUE(Terminals::send("Please ASKME about the button", tty));
  EXPECT_TRUE(apiHeard("Please ASKME about the button")) << tmux.capture(pane);
  auto p = waitForPrompt(tty);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->question, "Which colour should the login button be?");
  EXPECT_EQ(labels(*p), (std::vector<std::string>{"Blue", "Green", "Orange"}));
  EXPECT_EQ(p->freeRow, 4);
  EXPECT_EQ(p->context, "Let me check with you first.");

  auto answered = Terminals::choose("2", tty, meant(*p));
  EXPECT_TRUE(answered) << answered.why << "\n" << tmux.capture(pane);
  EXPECT_TRUE(apiHeard("=\\\"Green\\\"")) << tmux.capture(pane);
}

TEST_F(RealAgent, MultipleChoiceQuestionIsTickedAndSubmitted) {
  std::string tty = startAgent();
  ASSERT_FALSE(tty.empty());
  ASSERT_TRUE(Terminals::send("MULTI time", tty));
  auto p = waitForPrompt(tty);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->multi);
  EXPECT_EQ(labels(*p), (std::vector<std::string>{"Unit tests", "Lint", "Fuzzing"}));
  EXPECT_TRUE(p->checked.empty());

  auto answered = Terminals::choose("2", tty, meant(*p));
  EXPECT_TRUE(answered) << answered.why << "\n" << tmux.capture(pane);
  EXPECT_TRUE(apiHeard("=\\\"Lint\\\"")) << tmux.capture(pane);
}

TEST_F(RealAgent, FreeTextAnswerIsTyped) {
  std::string tty = startAgent();
  ASSERT_FALSE(tty.empty());
  ASSERT_TRUE(Terminals::send("Please ASKME now", tty));
  auto p = waitForPrompt(tty);
  ASSERT_TRUE(p);
  auto answered = Terminals::answerFree("purple\nwith dots", tty, meant(*p));
  EXPECT_TRUE(answered) << answered.why << "\n" << tmux.capture(pane);
  EXPECT_TRUE(apiHeard("=\\\"purple with dots\\\"")) << tmux.capture(pane);
}

TEST_F(RealAgent, PermissionPromptRefusesAMissingOptionThenIsApproved) {
  std::string tty = startAgent({"--permission-mode", "default"});
  ASSERT_FALSE(tty.empty());
  ASSERT_TRUE(Terminals::send("Please RUNCMD now", tty));
  auto p = waitForPrompt(tty);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->question, "Do you want to proceed?");
  ASSERT_GE(p->options.size(), 2u);
  EXPECT_EQ(p->options[0].label, "Yes");
  EXPECT_EQ(p->options.back().label, "No");
  EXPECT_NE(std::find(p->body.begin(), p->body.end(), "touch velmo-probe.txt && ls -la"),
            p->body.end());

  // The prompt has no fifth option: nothing may be typed, least of all a move onto "No".
  const std::string before = promptBox(tmux.capture(pane));
  auto refused = Terminals::choose("5", tty, meant(*p));
  EXPECT_FALSE(refused);
  EXPECT_EQ(refused.why,
            "A different question is open in the terminal now — not sent, so as not to answer "
            "it by mistake");
  EXPECT_FALSE(waitFor([&] { return Files::exists(work + "/velmo-probe.txt"); }, 2));
  EXPECT_EQ(promptBox(tmux.capture(pane)), before);
  auto still = waitForPrompt(tty);
  ASSERT_TRUE(still);
  EXPECT_EQ(Terminals::signature(*still), Terminals::signature(*p));

  auto answered = Terminals::choose("1", tty, meant(*still));
  EXPECT_TRUE(answered) << answered.why << "\n" << tmux.capture(pane);
  // The command ran: it was approved, not declined.
  EXPECT_TRUE(waitFor([&] { return Files::exists(work + "/velmo-probe.txt"); }, 30))
      << tmux.capture(pane);
}
