#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "base/caches.h"
#include "base/files.h"
#include "page/panel.h"
#include "page/panel_chat.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/scripted_host.h"
#include "support/transcripts.h"
#include "terminals/discover.h"
#include "terminals/host.h"

using Json = nlohmann::json;

namespace {

constexpr const char* kMany = "c6d3753b-3e5b-413d-a41c-3796870a5b9a";      // registry pid 3625
constexpr const char* kPlanning = "e3913108-c290-4c1e-9f21-69845159b213";  // registry pid 3955

// The real agent's files, a fake clock shortly after its last records, and a ps that
// lists the given agent processes.
class ChatTest : public ::testing::Test {
 protected:
  ScopedHome home;
  ScriptedHost host;  // knows no titles and shows no screens: discovery only needs ps here
  ScopedLanguage english{"en"};
  FakeClock clock{1796747621.922 + 600};  // the long session has been waiting ten minutes
  std::string ps;

  void SetUp() override {
    copyFixtureAgentHome(home);
    Terminals::installPsRunner([this] { return std::optional<std::string>(ps); });
  }
  void TearDown() override {
    Terminals::installPsRunner(nullptr);
    Caches::emptyAll();
  }
};

// The chat payload as the page receives it: null when there is none.
Json chatJson(const std::string& sid, const std::vector<std::string>& pending, int want) {
  auto chat = Panel::chat(sid, pending, want);
  return chat ? Json(*chat) : Json();
}

std::vector<std::string> texts(const Json& lines) {
  std::vector<std::string> out;
  for (const Json& l : lines)
    out.push_back(l["role"].get<std::string>() + ": " + l["text"].get<std::string>());
  return out;
}

}  // namespace

TEST_F(ChatTest, ClosedConversationStillReadsWithItsHeader) {
  Json c = chatJson(kMany, {}, 24);
  ASSERT_TRUE(c.is_object());
  EXPECT_EQ(c["sid"], kMany);
  EXPECT_EQ(c["tty"], "");
  EXPECT_EQ(c["slot"], "—");
  EXPECT_EQ(c["live"], false);
  EXPECT_EQ(c["title"], "ccwork");  // no title: the project
  EXPECT_EQ(c["state"], "closed");
  EXPECT_EQ(c["stateLabel"], "terminal closed");
  EXPECT_EQ(c["model"], "Opus");
  EXPECT_EQ(c["context"], "10k context");
  EXPECT_EQ(c["relay"], "");
  EXPECT_EQ(c["relayAgents"], 0);
  EXPECT_EQ(c["relayShell"], false);
  EXPECT_EQ(c["atStart"], true);
  EXPECT_EQ(c["ask"], Json::object());
  EXPECT_EQ(c["crew"], Json::array());
  EXPECT_EQ(c["outputs"], Json::array());
  ASSERT_EQ(c["lines"].size(), 18u);

  const Json& tool = c["lines"][2];
  EXPECT_EQ(tool["role"], "tool");
  EXPECT_EQ(tool["text"], "running a command");
  EXPECT_EQ(tool["arg"], "touch velmo-probe.txt && ls -la");
  EXPECT_EQ(tool["ts"], 1796747544);
  EXPECT_TRUE(tool["ts"].is_number_integer());
  EXPECT_EQ(tool["when"].get<std::string>().size(), 5u);  // HH:mm in local time
  EXPECT_EQ(tool["paths"], Json::array());
  EXPECT_FALSE(tool.contains("pending"));

  // Newest first; a repeat of the text just taken is left out, an older repeat is not.
  EXPECT_EQ(c["history"], (Json{"TWOQ now", "[Request interrupted by user for tool use]",
                                "MULTI time", "[Request interrupted by user for tool use]",
                                "Now WRITEIT please", "Please RUNCMD now"}));
  EXPECT_EQ(c["key"], "18|1|" +
                          c["lines"].back()["text"].get<std::string>().substr(
                              c["lines"].back()["text"].get<std::string>().size() - 120) +
                          "|0|||10k context");
}

TEST_F(ChatTest, SentTextShowsAsPendingUntilTheTranscriptCarriesIt) {
  Json c = chatJson(kMany, {"TWOQ now", "  and the port?  "}, 24);
  const Json& lines = c["lines"];
  ASSERT_EQ(lines.size(), 19u);
  const Json& pending = lines.back();
  EXPECT_EQ(pending["role"], "you");
  EXPECT_EQ(pending["text"], "  and the port?  ");
  EXPECT_EQ(pending["arg"], "");
  EXPECT_EQ(pending["when"], "");
  EXPECT_EQ(pending["pending"], true);
  EXPECT_NE(c["key"], chatJson(kMany, {}, 24)["key"]);

  // The agent wrote it down: the pending line goes.
  appendTranscript(home.agent(std::string("projects/-tmp-ccwork/") + kMany + ".jsonl"),
                   Records::lines({Records::user("and the port?", 1796747700)}));
  Json after = chatJson(kMany, {"and the port?"}, 24);
  EXPECT_EQ(after["lines"].size(), 19u);
  EXPECT_EQ(texts(after["lines"]).back(), "you: and the port?");
  EXPECT_FALSE(after["lines"].back().contains("pending"));
  EXPECT_EQ(after["history"][0], "and the port?");
}

TEST_F(ChatTest, OpenTerminalGivesItsSlotStateAndTitle) {
  const std::string uid = std::to_string(::getuid());
  ps =
      " 3625 " + uid + " pts/3    10:00 claude\n 3955 " + uid + " pts/12   05:00 claude --resume\n";
  Json c = chatJson(kMany, {}, 24);
  EXPECT_EQ(c["tty"], "/dev/pts/3");
  EXPECT_EQ(c["slot"], "003");
  EXPECT_EQ(c["live"], true);
  EXPECT_EQ(c["state"], "wait");
  EXPECT_EQ(c["stateLabel"], "waiting for you");
  EXPECT_EQ(c["title"], "ccwork");

  // The plan approval has been silent long enough to count as stopped.
  Json plan = chatJson(kPlanning, {}, 24);
  EXPECT_EQ(plan["slot"], "012");
  EXPECT_EQ(plan["state"], "quiet");
  EXPECT_EQ(plan["stateLabel"], "idle");
  // Its key names the open question, so the page redraws when it is answered.
  EXPECT_NE(plan["key"].get<std::string>().find("|toolu_e07c1e41879b4ce39060|"), std::string::npos);
}

TEST_F(ChatTest, LostConversationGivesNothing) {
  EXPECT_TRUE(chatJson("", {}, 24).is_null());
  EXPECT_TRUE(chatJson("no-such-session", {}, 24).is_null());
}

TEST(ChatHeader, ContextCountsInThousands) {
  ScopedLanguage english("en");
  EXPECT_EQ(Panel::contextText(0), "");
  EXPECT_EQ(Panel::contextText(999), "999 context");
  EXPECT_EQ(Panel::contextText(1000), "1k context");
  EXPECT_EQ(Panel::contextText(153400), "153k context");
  ScopedLanguage hebrew("he");
  EXPECT_EQ(Panel::contextText(999), "999 הקשר");
  EXPECT_EQ(Panel::contextText(1999), "1k הקשר");
}

TEST(ChatSteps, MoreClimbsToTheWholeConversation) {
  std::vector<int> seen;
  for (int want : {0, 24, 80, 250, 799, 800, 100000}) seen.push_back(Panel::nextWant(want));
  EXPECT_EQ(seen, (std::vector<int>{24, 80, 250, 800, 800, 100000, 100000}));
}

TEST(ChatSteps, StepLiveWalksTheLiveSessionsInRackOrder) {
  auto row = [](const std::string& sid, const std::string& state) {
    Panel::Unit u;
    u.sid = sid;
    u.state = state;
    return u;
  };
  std::vector<Panel::Unit> units = {row("a", "quiet"), row("b", "run"), row("c", "ask"),
                                    row("", "run"), row("d", "wait")};
  auto live = Panel::liveSessions(units);
  EXPECT_EQ(live, (std::set<std::string>{"b", "c", "d"}));
  const std::vector<std::string> order{"d", "a", "c", "b"};

  EXPECT_EQ(Panel::stepLive(order, live, "a", -1), "b");  // not live: the last
  EXPECT_EQ(Panel::stepLive(order, live, "", 1), "d");    // nothing open: the first
  EXPECT_EQ(Panel::stepLive(order, live, "c", 1), "b");
  EXPECT_EQ(Panel::stepLive(order, live, "b", 1), "d");   // wraps forwards
  EXPECT_EQ(Panel::stepLive(order, live, "d", -1), "b");  // and backwards
  EXPECT_FALSE(Panel::stepLive(order, {}, "a", 1));
  EXPECT_FALSE(Panel::stepLive({}, live, "a", 1));
  ScopedLanguage english("en");
  EXPECT_EQ(Panel::noLiveNote(), "No active terminal to jump to");
}

// Permission prompts ask "Do you want to proceed?" every time; when the terminal moves on to
// the next command with the transcript unchanged, the key still changes so the page redraws
// the card with the new command.
TEST_F(ChatTest, TheNextPermissionPromptChangesTheKey) {
  const std::string uid = std::to_string(::getuid());
  ps = " 3625 " + uid + " pts/3    10:00 claude\n";
  auto screen = [](const char* name) {
    return Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/" + name).value_or("");
  };
  host.show("/dev/pts/3", screen("perm-bash.txt"));
  Json first = chatJson(kMany, {}, 24);
  ASSERT_EQ(first["ask"]["parts"][0]["question"], "Do you want to proceed?") << first["ask"].dump();
  EXPECT_EQ(first["ask"]["body"][2], "touch velmo-probe.txt && ls -la");
  Caches::emptyAll();
  host.show("/dev/pts/3", screen("perm-bash-long.txt"));
  Json next = chatJson(kMany, {}, 24);
  ASSERT_EQ(next["ask"]["parts"][0]["question"], "Do you want to proceed?");
  EXPECT_EQ(next["lines"], first["lines"]);
  EXPECT_NE(next["key"], first["key"]);
}
