#include "sessions/subagents.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/text.h"
#include "sessions/language.h"
#include "sessions/state.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

using Records::Json;

namespace {

constexpr Clock::Time t0 = 1.8e9;
const char* kFixtureSession = "c3ace0e1-acf6-4f42-9aea-1ad7e9b23e8e";

class SubagentsTest : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock{t0};

  std::string session(const std::string& id) {
    std::string path = writeTranscript(home, id, Records::lines({Records::user("go", t0 - 500)}));
    setModified(path, t0 - 500);
    return path;
  }
  // A sub-agent transcript with its meta file, both last written at `modified`.
  std::string agent(const std::string& transcript, const std::string& name,
                    const std::vector<Json>& records, Clock::Time modified,
                    const std::string& meta = R"({"agentType":"Explore","description":"Look"})",
                    const std::string& under = "") {
    std::string folder = Agents::folderOf(transcript) + under;
    Files::makeDirectories(folder);
    std::string path = folder + "/agent-" + name + ".jsonl";
    Files::writeAtomic(path, Records::lines(records));
    setModified(path, modified);
    if (!meta.empty()) {
      std::string metaPath = folder + "/agent-" + name + ".meta.json";
      Files::writeAtomic(metaPath, meta);
      setModified(metaPath, modified);
    }
    return path;
  }
  const Agent* find(const std::vector<Agent>& rows, const std::string& id) {
    for (const Agent& a : rows)
      if (a.id == id) return &a;
    return nullptr;
  }
};

Json reply(const std::string& said, double at) {
  return Records::assistant(Json::array({Records::text(said)}), t0 + at, "claude-sonnet-4-5", 100,
                            2000, 300);
}
Json call(const std::string& tool, double at) {
  return Records::assistant(Json::array({Records::toolUse(tool)}), t0 + at);
}

TEST_F(SubagentsTest, ReadsTheRealAgentsRunWithNestingAndTheFinishedMark) {
  namespace fs = std::filesystem;
  fs::copy(fs::path(VELMO_FIXTURES_DIR) / "subagent-home/.claude", home.agent(""),
           fs::copy_options::recursive);
  auto transcript = Sessions::transcriptURL(kFixtureSession);
  ASSERT_TRUE(transcript);
  const std::string folder = Agents::folderOf(*transcript);
  for (const char* name : {"agent-ae12aa1827c6ff63f", "agent-a5a2f0d4899a8d1b6"}) {
    setModified(folder + "/" + name + ".jsonl", t0 - 5);
    setModified(folder + "/" + name + ".meta.json", t0 - 5);
  }

  auto rows = Agents::all({{kFixtureSession, "004"}});
  ASSERT_EQ(rows.size(), 2u);
  const Agent* outer = find(rows, "ae12aa1827c6ff63f");
  const Agent* nested = find(rows, "a5a2f0d4899a8d1b6");
  ASSERT_TRUE(outer && nested);
  EXPECT_EQ(outer->kind, "general-purpose");
  EXPECT_EQ(outer->task, "Plan the survey");
  EXPECT_EQ(outer->depth, 1);
  EXPECT_FALSE(outer->running) << "its meta says finished, however fresh its file";
  EXPECT_EQ(outer->doing, "");
  EXPECT_EQ(nested->kind, "Explore");
  EXPECT_EQ(nested->depth, 2);
  EXPECT_EQ(nested->model, "Opus");
  EXPECT_EQ(nested->sid, kFixtureSession);
  EXPECT_TRUE(nested->running);
  EXPECT_EQ(nested->say.empty(), false);
  EXPECT_GT(nested->context, 0);

  // The rack's count follows the same rule: only the unfinished one works.
  EXPECT_EQ(Agents::runningCount(*transcript), 1);
  auto live = Agents::live(kFixtureSession);
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].id, "a5a2f0d4899a8d1b6");
  EXPECT_EQ(live[0].chat, "");
}

TEST_F(SubagentsTest, SeventyFiveAcrossTwoSessionsGiveTheSixtyNewest) {
  auto a = session("sa");
  auto b = session("sb");
  for (int i = 0; i < 75; ++i)
    agent(i % 2 ? a : b, "x" + std::to_string(i), {reply("hi", -1000)}, t0 - 1000 + i);
  auto rows = Agents::all({{"sa", "001"}, {"sb", "002"}});
  ASSERT_EQ(rows.size(), 60u);
  EXPECT_EQ(rows.front().id, "x74");
  EXPECT_EQ(rows.back().id, "x15");
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_GE(rows[i - 1].updated, rows[i].updated);
  // A session without a title is labelled by its terminal.
  EXPECT_EQ(find(rows, "x74")->chat, "terminal 002");
  EXPECT_EQ(find(rows, "x73")->chat, "terminal 001");
}

TEST_F(SubagentsTest, MissingOrBrokenMetaGivesTheDefaults) {
  auto t = session("s1");
  agent(t, "nokind", {reply("a", -5)}, t0 - 5, R"({"description":"Count files","spawnDepth":1})");
  agent(t, "broken", {reply("a", -5)}, t0 - 5, R"({"agentType": "Explore", "descr)");
  agent(t, "absent", {reply("a", -5)}, t0 - 5, "");
  auto rows = Agents::inFolder(Agents::folderOf(t), "s1", "");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(find(rows, "nokind")->kind, "agent");
  EXPECT_EQ(find(rows, "nokind")->task, "Count files");
  for (const char* id : {"broken", "absent"}) {
    const Agent* a = find(rows, id);
    EXPECT_EQ(a->kind, "agent") << id;
    EXPECT_EQ(a->task, "") << id;
    EXPECT_EQ(a->model, "") << id;
    EXPECT_EQ(a->depth, 0) << id;
    EXPECT_TRUE(a->running) << id;
  }
  ScopedLanguage hebrew{"he"};
  EXPECT_EQ(Agents::metadata(Agents::folderOf(t) + "/agent-nokind.jsonl").kind, "סוכן");
}

TEST_F(SubagentsTest, HeartbeatShowsTheLastWordAndCountsTheCalls) {
  auto t = session("s1");
  agent(t, "talker",
        {call("Read", -30), call("Grep", -20), Records::toolResult("t1", "x", t0 - 19),
         reply("Found it.\nThree files match.", -10)},
        t0 - 10);
  agent(t, "worker", {reply("Looking.", -30), call("Bash", -20)}, t0 - 20);
  agent(t, "idle", {call("Read", -200)}, t0 - 121);
  auto rows = Agents::inFolder(Agents::folderOf(t), "s1", "");

  const Agent* talker = find(rows, "talker");
  EXPECT_EQ(talker->doing, "thinking");
  EXPECT_EQ(talker->say, "Found it. Three files match.");
  EXPECT_EQ(talker->steps, 2);
  EXPECT_EQ(talker->context, 2400);
  EXPECT_EQ(talker->model, "");

  const Agent* worker = find(rows, "worker");
  EXPECT_EQ(worker->doing, "running a command");
  EXPECT_EQ(worker->say, "Looking.");
  EXPECT_EQ(worker->steps, 1);

  const Agent* idle = find(rows, "idle");
  EXPECT_FALSE(idle->running);
  EXPECT_EQ(idle->doing, "");
  EXPECT_EQ(idle->steps, 0);
  EXPECT_EQ(idle->kind, "Explore");
  EXPECT_EQ(idle->task, "Look");
}

TEST_F(SubagentsTest, SayIsOneLineOfAtMostAHundredFiftyCharacters) {
  auto t = session("s1");
  std::string longer;
  for (int i = 0; i < 40; ++i) longer += "שלום\n";
  agent(t, "long", {reply(longer, -5)}, t0 - 5);
  Agents::Beat b = Agents::beat(Agents::folderOf(t) + "/agent-long.jsonl");
  EXPECT_EQ(Text::length(b.say), 150u);
  EXPECT_EQ(b.say.find('\n'), std::string::npos);
}

TEST_F(SubagentsTest, FinishingIsSeenAtOnceWhenTheMetaIsRewritten) {
  auto t = session("s1");
  auto path = agent(t, "one", {call("Read", -5)}, t0 - 5);
  EXPECT_EQ(Agents::runningCount(t), 1);
  EXPECT_EQ(Sessions::state("s1")->agentsRunning, 1);
  std::string meta = Agents::folderOf(t) + "/agent-one.meta.json";
  Files::writeAtomic(meta, R"({"agentType":"Explore","description":"Look","finished":true})");
  setModified(meta, t0 - 1);
  EXPECT_EQ(Agents::runningCount(t), 0);
  EXPECT_EQ(Sessions::state("s1")->agentsRunning, 0);
  EXPECT_TRUE(Agents::live("s1").empty());
  (void)path;
}

TEST_F(SubagentsTest, WorkflowRunsOneLevelDeeperAreRead) {
  auto t = session("s1");
  agent(t, "top", {reply("a", -5)}, t0 - 5);
  agent(t, "step", {reply("b", -5)}, t0 - 4, R"({"agentType":"Plan"})", "/workflows/run-7");
  auto rows = Agents::inFolder(Agents::folderOf(t), "s1", "");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(find(rows, "step")->kind, "Plan");
  EXPECT_EQ(Agents::runningCount(t), 2);
}

TEST_F(SubagentsTest, StartedFallsBackFromBirthToFirstStampToFileTime) {
  auto t = session("s1");
  auto path = agent(t, "one", {reply("a", -40), reply("b", -5)}, t0 - 5);
  EXPECT_EQ(Agents::started(path, t0 - 900, t0 - 5), t0 - 900);
  EXPECT_NEAR(Agents::started(path, std::nullopt, t0 - 5), t0 - 40, 0.01);
  std::string bare = Agents::folderOf(t) + "/agent-bare.jsonl";
  Files::writeAtomic(bare, "{\"type\":\"user\"");  // first record not yet complete
  EXPECT_EQ(Agents::started(bare, std::nullopt, t0 - 3), t0 - 3);
}

TEST_F(SubagentsTest, LiveListsRunningOnesOldestStartFirst) {
  auto t = session("s1");
  agent(t, "late", {reply("a", -10), reply("b", -2)}, t0 - 2);
  agent(t, "early", {reply("a", -60), reply("b", -3)}, t0 - 3);
  agent(t, "gone", {reply("a", -900)}, t0 - 600);
  EXPECT_TRUE(Agents::live("").empty());
  auto live = Agents::live("s1");
  ASSERT_EQ(live.size(), 2u);
  // Both files were born within the test; the order then rests on the birth times, which
  // follow the order of writing.
  EXPECT_LE(live[0].started, live[1].started);
}

}  // namespace
