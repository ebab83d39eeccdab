#include "terminals/names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "base/caches.h"
#include "base/files.h"
#include "base/text.h"
#include "support/terminal_rig.h"
#include "support/transcripts.h"
#include "terminals/discover.h"

namespace {

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

std::vector<nlohmann::json> records(const std::string& path) {
  std::vector<nlohmann::json> out;
  for (const auto& line : Text::split(Files::read(path).value_or(""), '\n'))
    out.push_back(nlohmann::json::parse(line, nullptr, false));
  return out;
}

// Rewrites the registry record of `pid` as the agent does after a command.
void registry(TerminalRig& rig, int pid, const std::string& sid, const std::string& status,
              const std::string& name) {
  rig.home.write(
      ".claude/sessions/" + std::to_string(pid) + ".json",
      nlohmann::json{{"pid", pid}, {"sessionId", sid}, {"status", status}, {"name", name}}.dump());
}

}  // namespace

TEST(NamesStore, CutTrimRemoveAndSurviveARestart) {
  ScopedHome home;
  Caches::emptyAll();
  // 100 Hebrew letters are 200 bytes: the cut counts characters and never splits one.
  Names::set("  " + repeat("ש", 100) + "\n", "a");
  EXPECT_EQ(Names::name("a"), repeat("ש", 80));
  Names::set("Front desk", "b");
  Names::set("   \n", "a");  // only blanks: removed
  Names::set("ignored", "");
  EXPECT_EQ(Names::all(), (std::map<std::string, std::string>{{"b", "Front desk"}}));
  EXPECT_EQ(Names::name(""), "");

  Caches::emptyAll();  // as after a restart: read back from the file
  EXPECT_EQ(Names::name("b"), "Front desk");
  struct stat st {};
  ASSERT_EQ(::stat(home.agent("velmo-names.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A damaged store counts as empty and is replaced whole by the next change.
  home.write(".claude/velmo-names.json", "{\"b\": 7, broken");
  Caches::emptyAll();
  EXPECT_TRUE(Names::all().empty());
  Names::set("New", "c");
  EXPECT_EQ(nlohmann::json::parse(*Files::read(home.agent("velmo-names.json"))),
            (nlohmann::json{{"c", "New"}}));
  Caches::emptyAll();
}

TEST(NamesRealTitle, BothRecordsAfterALineFeedInOneAppend) {
  ScopedHome home;
  Caches::emptyAll();
  std::string body = Records::lines({Records::user("hello", 1.8e9)});
  body.pop_back();  // the agent was cut off mid-line
  std::string path = writeTranscript(home, "s1", body);

  Names::setReal("  מסוף \"מרכזי\"  ", "s1");
  auto lines = records(path);
  ASSERT_EQ(lines.size(), 3u) << *Files::read(path);
  EXPECT_EQ(lines[0]["type"], "user");  // the cut line was ended, not joined
  EXPECT_EQ(lines[1],
            (nlohmann::json{
                {"type", "custom-title"}, {"customTitle", "מסוף \"מרכזי\""}, {"sessionId", "s1"}}));
  EXPECT_EQ(lines[2],
            (nlohmann::json{
                {"type", "agent-name"}, {"agentName", "מסוף \"מרכזי\""}, {"sessionId", "s1"}}));
  EXPECT_TRUE(Text::endsWith(*Files::read(path), "}\n"));

  // A transcript that ends with a line feed gets no blank line.
  auto before = Files::read(path)->size();
  Names::setReal(repeat("x", 90), "s1");
  std::string grown = Files::read(path)->substr(before);
  EXPECT_FALSE(Text::startsWith(grown, "\n"));
  EXPECT_EQ(records(path)[3]["customTitle"], repeat("x", 80));
  Caches::emptyAll();
}

TEST(NamesRealTitle, NeverCreatesAndIgnoresEmpty) {
  ScopedHome home;
  Caches::emptyAll();
  Names::setReal("Title", "nobody");
  EXPECT_FALSE(Files::exists(home.agent("projects")));
  std::string path = writeTranscript(home, "s1", "");
  Names::setReal("   ", "s1");
  Names::setReal("Title", "");
  EXPECT_EQ(Files::read(path).value_or("?"), "");
  // An empty transcript has no last byte to end: the records start at once.
  Names::setReal("Title", "s1");
  EXPECT_TRUE(Text::startsWith(*Files::read(path), "{\"type\":\"custom-title\""))
      << *Files::read(path);
  Caches::emptyAll();
}

TEST(NamesRename, ClosedGoesToTheTranscriptLiveWaits) {
  TerminalRig rig;
  std::string path =
      writeTranscript(rig.home, "closed", Records::lines({Records::user("hi", 1.8e9)}));
  Names::rename("Old work", "closed", false);
  EXPECT_EQ(records(path).back()["agentName"], "Old work");
  EXPECT_TRUE(Names::waiting().empty());

  rig.agent(101, 3, "live");
  Names::rename(repeat("ל", 90), "live", true);
  EXPECT_EQ(Names::waiting(), (std::map<std::string, std::string>{{"live", repeat("ל", 80)}}));
  auto titles = rig.host.calls();
  ASSERT_FALSE(titles.empty());
  EXPECT_EQ(titles.back().kind, "title");
  EXPECT_EQ(titles.back().tty, "/dev/pts/3");
}

TEST(NamesTick, TypesOnlyWhenIdleAndStopsWhenTheRegistryShowsTheName) {
  TerminalRig rig;
  rig.agent(101, 3, "s1", "busy");
  rig.host.show("/dev/pts/3", Screens::idle());
  Names::rename("Front", "s1", true);

  Names::tick(Terminals::discover());
  EXPECT_TRUE(rig.host.typed().empty()) << "typed into a busy agent";
  EXPECT_EQ(Names::waiting().size(), 1u);

  // The agent takes the command: busy for a moment, then idle with the new name.
  rig.host.onType([&](ScriptedHost&, const ScriptedHost::Call& call) {
    if (call.text == "/rename Front") registry(rig, 101, "s1", "idle", "Front");
  });
  registry(rig, 101, "s1", "idle", "");
  Names::tick(Terminals::discover());
  auto typed = rig.host.typed();
  ASSERT_EQ(typed.size(), 1u);
  EXPECT_EQ(typed[0].text, "/rename Front");
  EXPECT_EQ(typed[0].tty, "/dev/pts/3");
  EXPECT_TRUE(Names::waiting().empty());

  Names::tick(Terminals::discover());
  EXPECT_EQ(rig.host.typed().size(), 1u);
}

TEST(NamesTick, ANameTakenLateIsNotTypedAgain) {
  TerminalRig rig;
  rig.agent(101, 3, "s1", "idle", "Front");  // the agent already shows it
  Names::rename("Front", "s1", true);
  Names::tick(Terminals::discover());
  EXPECT_TRUE(rig.host.typed().empty());
  EXPECT_TRUE(Names::waiting().empty());
}

TEST(NamesTick, ClosedTerminalWritesTheTranscriptAndForgets) {
  TerminalRig rig;
  std::string body = Records::lines({Records::user("hi", 1.8e9)});
  body.pop_back();
  std::string path = writeTranscript(rig.home, "gone", body);
  rig.home.write(".claude/velmo-renames.json", R"({"gone":"Night run"})");
  Names::tick(std::vector<Terminal>{});
  auto lines = records(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1]["customTitle"], "Night run");
  EXPECT_EQ(lines[2]["agentName"], "Night run");
  EXPECT_TRUE(Names::waiting().empty());
}

TEST(NamesTick, ARenameTheAgentNeverTakesStopsAfterThreeTries) {
  TerminalRig rig;
  rig.agent(101, 3, "s1", "idle", "");
  rig.host.show("/dev/pts/3", Screens::idle());
  // The agent turns busy for the command but keeps its old name.
  rig.host.onType(
      [&](ScriptedHost&, const ScriptedHost::Call&) { registry(rig, 101, "s1", "busy", "Other"); });
  Names::rename("Front", "s1", true);
  for (int pass = 0; pass < 6; ++pass) {
    registry(rig, 101, "s1", "idle", "Other");
    Names::tick(Terminals::discover());
  }
  size_t typed = 0;
  for (const auto& call : rig.host.typed())
    if (call.text == "/rename Front") ++typed;
  EXPECT_EQ(typed, 3u);
  EXPECT_TRUE(Names::waiting().empty()) << "a rename that never took keeps the terminal busy";

  // A new name for the same session starts its own count.
  Names::rename("Back", "s1", true);
  registry(rig, 101, "s1", "idle", "Other");
  Names::tick(Terminals::discover());
  EXPECT_EQ(rig.host.typed().back().text, "/rename Back");
}

TEST(NamesTick, UnsentWordsInTheInputRowAreNotATry) {
  TerminalRig rig;
  rig.agent(101, 3, "s1", "idle", "");
  // A person's half-typed words: the command would join them, so nothing is typed.
  rig.host.show("/dev/pts/3", Text::join({"● Done.", Screens::border(), "❯\u00a0half a thought",
                                          Screens::border(), "  ? for shortcuts"},
                                         "\n") +
                                  "\n");
  Names::rename("Front", "s1", true);
  for (int pass = 0; pass < 5; ++pass) Names::tick(Terminals::discover());
  EXPECT_TRUE(rig.host.typed().empty());
  EXPECT_EQ(Names::waiting().size(), 1u);
}

// ---- two writers ----

TEST(NamesStore, ANameGivenInAnotherVelmoSurvivesThisOnesNextChange) {
  ScopedHome home;
  Caches::emptyAll();
  Names::set("Mine", "a");
  EXPECT_EQ(Names::name("a"), "Mine");  // read, and kept in memory
  // Another Velmo on this home names another conversation.
  auto disk = nlohmann::json::parse(*Files::read(home.agent("velmo-names.json")));
  disk["b"] = "Theirs";
  ASSERT_TRUE(Files::writeAtomic(home.agent("velmo-names.json"), disk.dump()));
  EXPECT_EQ(Names::name("b"), "Theirs") << "the other Velmo's name is not seen";

  Names::set("Mine again", "a");
  Names::set("", "c");  // removing an absent name writes nothing and loses nothing
  EXPECT_EQ(nlohmann::json::parse(*Files::read(home.agent("velmo-names.json"))),
            (nlohmann::json{{"a", "Mine again"}, {"b", "Theirs"}}));
  Caches::emptyAll();
}

TEST(NamesTick, ARenameAskedForWhileTheOldOneWasTypedIsKept) {
  TerminalRig rig;
  rig.agent(101, 3, "s1", "idle", "");
  rig.agent(102, 5, "s2", "idle", "");
  rig.host.show("/dev/pts/3", Screens::idle());
  rig.host.show("/dev/pts/5", Screens::idle());
  Names::rename("Front", "s1", true);
  Names::rename("Left", "s2", true);
  rig.host.onType([&](ScriptedHost&, const ScriptedHost::Call& call) {
    if (call.text == "/rename Front") {
      registry(rig, 101, "s1", "idle", "Front");
      // Meanwhile the person renames both again, in another Velmo's page.
      auto disk = nlohmann::json::parse(*Files::read(rig.home.agent("velmo-renames.json")));
      disk["s1"] = "Back";
      disk["s3"] = "Elsewhere";
      Files::writeAtomic(rig.home.agent("velmo-renames.json"), disk.dump());
    }
    if (call.text == "/rename Left") registry(rig, 102, "s2", "idle", "Left");
  });
  Names::tick(Terminals::discover());
  // "Front" reached the agent; "Back" is still to go, and the other Velmo's entry stays.
  EXPECT_EQ(Names::waiting(), (std::map<std::string, std::string>{{"s1", "Back"},
                                                                  {"s3", "Elsewhere"}}));
}

TEST(NamesTick, AProcessListThatCouldNotBeReadClosesNothing) {
  TerminalRig rig;
  std::string path = writeTranscript(rig.home, "s1", Records::lines({Records::user("hi", 1.8e9)}));
  rig.agent(101, 3, "s1", "idle", "");
  rig.home.write(".claude/velmo-renames.json", R"({"s1":"Front"})");
  Terminals::installPsRunner([] { return std::optional<std::string>(); });
  Caches::emptyAll();
  EXPECT_FALSE(Terminals::listed().has_value());
  std::string before = *Files::read(path);
  Names::tick(Terminals::listed());
  EXPECT_EQ(*Files::read(path), before) << "a running conversation was taken for closed";
  EXPECT_EQ(Names::waiting().size(), 1u);
}

TEST(NamesTick, ASendTheAgentDidNotTakeIsNotATry) {
  TerminalRig rig;
  rig.agent(101, 3, "s1", "idle", "");
  // The command is typed but stays in the input row: the agent never took it.
  rig.host.onType([&](ScriptedHost& host, const ScriptedHost::Call& call) {
    if (call.kind != "line" || call.text.empty()) return;  // Return alone leaves it there
    host.show("/dev/pts/3",
              Text::join({"● Done.", Screens::border(), "❯\u00a0" + call.text, Screens::border(),
                          "  ? for shortcuts"},
                         "\n") +
                  "\n");
  });
  Names::rename("Front", "s1", true);
  for (int pass = 0; pass < 5; ++pass) {
    rig.host.show("/dev/pts/3", Screens::idle());
    Names::tick(Terminals::discover());
  }
  size_t typed = 0;
  for (const auto& call : rig.host.typed())
    if (call.text == "/rename Front") ++typed;
  EXPECT_GE(typed, 4u);
  EXPECT_EQ(Names::waiting().size(), 1u) << "sends that were not taken used up the tries";
}
