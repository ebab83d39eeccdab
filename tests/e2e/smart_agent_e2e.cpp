// Meaning search with the real agent in one-shot mode, asked through `velmo --search TEXT
// --smart`, against the scripted model API.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "support/agent_lab.h"
#include "support/home.h"
#include "support/tmux_lab.h"
#include "support/transcripts.h"

namespace {

constexpr Clock::Time t0 = 1.8e9;

class SmartAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (AgentLab::agentBinary().empty()) GTEST_SKIP() << AgentLab::whyNoAgent();
    if (!Files::isExecutableFile(VELMO_BINARY))
      GTEST_SKIP() << "the velmo program is not built (" << VELMO_BINARY << ")";
    lab = std::make_unique<AgentLab>(tmux, home.path());
    ASSERT_TRUE(lab->ready());
    // Where Velmo looks for the agent first.
    Files::makeDirectories(home.path() + "/.local/bin");
    ASSERT_EQ(
        ::symlink(AgentLab::agentBinary().c_str(), (home.path() + "/.local/bin/claude").c_str()),
        0);
    using Records::user;
    writeTranscript(home, "login-1",
                    Records::lines({user("fix the login page", t0), user("now the form", t0 + 1)}),
                    "-home-dana-shop");
    writeTranscript(home, "build-1", Records::lines({user("why does the build fail", t0 + 2)}),
                    "-home-dana-shop");
  }

  Terminals::Outcome search(const std::string& text, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {"-u",
                                     "TMUX",
                                     "-u",
                                     "CLAUDE_CONFIG_DIR",
                                     "-u",
                                     "ANTHROPIC_AUTH_TOKEN",
                                     "HOME=" + home.path(),
                                     "TMUX_TMPDIR=" + tmux.dir(),
                                     "TMPDIR=" + scratch};
    for (const auto& e : lab->agentEnvironment()) argv.push_back(e);
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {VELMO_BINARY, "--search", text, "--smart"});
    return Terminals::shellOutcome("/usr/bin/env", argv, 180);
  }
  /// Every file under ~/.claude/projects.
  std::vector<std::string> transcripts() {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(home.agent("projects")))
      if (e.is_regular_file()) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  void TearDown() override { removeTree(scratch); }
  std::string log() { return Files::read(home.agent("velmo-smart.log")).value_or(""); }

  ScopedHome home;
  std::string scratch = makeTempDir("velmo-smart-cwd");
  PrivateTmux tmux;
  std::unique_ptr<AgentLab> lab;
};

}  // namespace

TEST_F(SmartAgentTest, RowsWithReasonsComeBackAndNothingIsKept) {
  auto before = transcripts();
  auto out = search("the login page");
  ASSERT_TRUE(out.finished);
  ASSERT_EQ(out.status, 0) << out.output;
  auto payload = nlohmann::json::parse(out.output, nullptr, false);
  ASSERT_TRUE(payload.is_object()) << out.output;

  // The scripted answer names c2 and c1, then NONE, which is no row.
  const auto& smart = payload["smart"];
  ASSERT_EQ(smart.size(), 2u) << payload.dump(2);
  EXPECT_EQ(smart[0]["why"], "the conversation about the login page");
  EXPECT_EQ(smart[1]["why"], "mentions the build");
  std::set<std::string> sids = {smart[0]["sid"], smart[1]["sid"]};
  EXPECT_EQ(sids, (std::set<std::string>{"login-1", "build-1"}));
  EXPECT_EQ(smart[0]["project"], "shop");

  // The agent kept no conversation of its own, and worked in the temporary folder.
  EXPECT_EQ(transcripts(), before);
  // What reached the model: the catalogue, no tools, no thinking.
  bool seen = false;
  for (const auto& line : Text::split(lab->apiLog(), '\n')) {
    auto request = nlohmann::json::parse(line, nullptr, false);
    if (!request.is_object() || !Text::contains(request.dump(), "You help find")) continue;
    seen = true;
    const auto& body = request["body"];
    EXPECT_TRUE(!body.contains("tools") || body["tools"].empty()) << body["tools"].dump();
    EXPECT_TRUE(!body.contains("thinking") || body["thinking"].value("type", "") == "disabled")
        << body["thinking"].dump();
    EXPECT_TRUE(Text::contains(body.dump(), "The user is looking for: the login page"));
    EXPECT_TRUE(Text::contains(body.dump(), "fix the login page / now the form") ||
                Text::contains(body.dump(), "fix the login page"));
  }
  EXPECT_TRUE(seen) << lab->apiLog();

  std::string text = log();
  EXPECT_TRUE(Text::contains(text, " · 2 chats · 0 files · model ")) << text;
  EXPECT_TRUE(Text::contains(text, "s 2 results · the login page\n")) << text;
}

TEST_F(SmartAgentTest, AnAgentSilentPastTheLimitFailsWithTheReasonLogged) {
  auto out = search("SLOWFIND the login page", {"VELMO_SMART_LIMIT=2"});
  ASSERT_TRUE(out.finished);
  EXPECT_EQ(out.status, 3);
  auto payload = nlohmann::json::parse(out.output, nullptr, false);
  ASSERT_TRUE(payload.is_object()) << out.output;
  EXPECT_EQ(payload["smartFailed"], true);
  EXPECT_TRUE(Text::startsWith(payload.value("smartReason", ""), "exit killed after 2.0s"))
      << payload.dump(2);
  EXPECT_FALSE(payload.contains("smart"));
  EXPECT_FALSE(Text::contains(log(), " results · ")) << log();
  EXPECT_TRUE(Text::contains(log(), "FAILED: exit killed after 2.0s")) << log();
  // The word search still answered.
  EXPECT_TRUE(payload["hits"].is_array());
}
