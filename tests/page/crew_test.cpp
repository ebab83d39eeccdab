#include <gtest/gtest.h>

#include <string>

#include "base/files.h"
#include "page/panel_chat.h"
#include "sessions/language.h"
#include "sessions/subagents.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

using Records::Json;

namespace {

constexpr Clock::Time t0 = 1.8e9;

// The chat's crew strip: running sub-agents only, with the row's words in the interface
// language.
TEST(CrewRows, TheChatListsRunningSubagentsOnlyInItsWords) {
  ScopedHome home;
  ScopedLanguage hebrew{"he"};
  FakeClock clock{t0};
  std::string t = writeTranscript(home, "s1", Records::lines({Records::user("go", t0 - 60)}));
  std::string folder = Agents::folderOf(t);
  auto sub = [&](const std::string& name, const std::string& meta, Clock::Time at) {
    std::string path =
        home.write(folder.substr(home.path().size() + 1) + "/agent-" + name + ".jsonl",
                   Records::lines({Records::assistant(Json::array({Records::toolUse("Grep")}), at,
                                                      "claude-opus-4-5", 1500, 0, 0)}));
    setModified(path, at);
    Files::writeAtomic(folder + "/agent-" + name + ".meta.json", meta);
  };
  sub("busy", R"({"agentType":"Explore","spawnDepth":2})", t0 - 30);
  sub("over", R"({"agentType":"Explore","description":"Done","finished":true})", t0 - 5);

  nlohmann::json crew = Panel::chatCrew("s1");
  ASSERT_EQ(crew.size(), 1u);
  EXPECT_EQ(crew[0]["id"], "busy");
  EXPECT_EQ(crew[0]["task"], "בלי תיאור");
  EXPECT_EQ(crew[0]["state"], "run");
  EXPECT_EQ(crew[0]["stateLabel"], "רץ");
  EXPECT_EQ(crew[0]["doing"], "מחפש בקוד");
  EXPECT_EQ(crew[0]["context"], "1k");
  EXPECT_EQ(crew[0]["steps"], 1);
  EXPECT_EQ(crew[0]["depth"], 2);
  EXPECT_EQ(crew[0]["sid"], "s1");
}

}  // namespace
