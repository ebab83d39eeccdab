// Answering the real agent's prompts in a private tmux server, against the scripted
// model API of agent-lab. Skipped, with the reason, when the agent cannot be installed.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "support/home.h"
#include "support/tmux_lab.h"
#include "terminals/answer.h"
#include "terminals/automation.h"
#include "terminals/picker.h"
#include "terminals/tmux_host.h"

namespace {

const std::string kLab = std::string(VELMO_SHARED_DIR) + "/agent-lab";

// A port nothing listens on now.
int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

// The scripted API that agent-up started for this test, found by its own command line.
void stopFakeApi(int port, const std::string& log) {
  auto entries = Files::list("/proc");
  if (!entries) return;
  for (const auto& e : *entries) {
    long long pid = 0;
    if (!Text::parseInt(e.name, pid)) continue;
    auto cmdline = Files::read(e.path + "/cmdline");
    if (!cmdline) continue;
    std::string args = Text::replaceAll(*cmdline, std::string(1, '\0'), " ");
    if (Text::contains(args, "fake_api.py " + std::to_string(port) + " " + log))
      ::kill(static_cast<pid_t>(pid), SIGTERM);
  }
}

// The agent's empty input box: a "❯" row (with a no-break space after it) over the box's
// bottom edge.
bool inputBoxShown(const std::string& screen) {
  auto rows = Text::split(screen, '\n', false);
  for (size_t i = 0; i + 1 < rows.size(); ++i)
    if (Text::trimBlanks(Text::replaceAll(rows[i], "\u00a0", " ")) == "❯" &&
        Text::contains(rows[i + 1], "────"))
      return true;
  return false;
}

class RealAgent : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto path = Terminals::shell(kLab + "/install-agent", {}, 240);
    agentPath = path ? Text::trim(*path) : "";
  }

  void SetUp() override {
    if (agentPath.empty())
      GTEST_SKIP()
          << "the agent could not be installed (" << kLab
          << "/install-agent failed; is npm reachable?), so the real-agent tests are skipped";
    root = makeTempDir("velmo-agent");
    home = root + "/home";
    work = root + "/work";
    port = freePort();
    Terminals::installHost(std::make_shared<Terminals::TmuxHost>());
    Terminals::forgetScreens();
    Terminals::forgetAnswers();
  }

  void TearDown() override {
    if (agentPath.empty()) return;
    server.kill();
    stopFakeApi(port, home + "/fake_api.log");
    Terminals::installHost(nullptr);
    Terminals::forgetScreens();
    removeTree(root);
  }

  // Starts the agent and waits until it takes input; returns its tty.
  std::string startAgent(const std::vector<std::string>& extra = {}) {
    ::setenv("CLAUDE_BIN", agentPath.c_str(), 1);
    std::vector<std::string> args = {home, work, std::to_string(port), "agent", "--"};
    args.insert(args.end(), extra.begin(), extra.end());
    pane = Text::trim(Terminals::shell(kLab + "/agent-up", args, 60).value_or(""));
    if (pane.empty()) return "";
    bool ready = waitFor([&] { return inputBoxShown(server.capture(pane)); }, 60);
    if (!ready) ADD_FAILURE() << "the agent never showed its input box:\n" << server.capture(pane);
    return server.show(pane, "#{pane_tty}");
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
    if (!found) ADD_FAILURE() << "no prompt appeared:\n" << server.capture(pane);
    return found;
  }

  // Whether the scripted API has been told `text` (as it stands in its JSON log).
  bool apiHeard(const std::string& text) {
    return waitFor(
        [&] { return Text::contains(Files::read(home + "/fake_api.log").value_or(""), text); }, 30);
  }

  static inline std::string agentPath;
  PrivateTmux server;
  std::string root, home, work, pane;
  int port = 0;
};

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
  auto p = waitForPrompt(tty);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->question, "Which colour should the login button be?");
  EXPECT_EQ(labels(*p), (std::vector<std::string>{"Blue", "Green", "Orange"}));
  EXPECT_EQ(p->freeRow, 4);
  EXPECT_EQ(p->context, "Let me check with you first.");

  EXPECT_TRUE(Terminals::choose("2", tty)) << Terminals::failure(tty) << "\n"
                                           << server.capture(pane);
  EXPECT_TRUE(apiHeard("=\\\"Green\\\"")) << server.capture(pane);
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

  EXPECT_TRUE(Terminals::choose("2", tty)) << Terminals::failure(tty) << "\n"
                                           << server.capture(pane);
  EXPECT_TRUE(apiHeard("=\\\"Lint\\\"")) << server.capture(pane);
}

TEST_F(RealAgent, FreeTextAnswerIsTyped) {
  std::string tty = startAgent();
  ASSERT_FALSE(tty.empty());
  ASSERT_TRUE(Terminals::send("Please ASKME now", tty));
  ASSERT_TRUE(waitForPrompt(tty));
  EXPECT_TRUE(Terminals::answerFree("purple\nwith dots", tty)) << Terminals::failure(tty) << "\n"
                                                               << server.capture(pane);
  EXPECT_TRUE(apiHeard("=\\\"purple with dots\\\"")) << server.capture(pane);
}

TEST_F(RealAgent, PermissionPromptIsApproved) {
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

  EXPECT_TRUE(Terminals::choose("1", tty)) << Terminals::failure(tty) << "\n"
                                           << server.capture(pane);
  // The command ran: it was approved, not declined.
  EXPECT_TRUE(waitFor([&] { return Files::exists(work + "/velmo-probe.txt"); }, 30))
      << server.capture(pane);
}
