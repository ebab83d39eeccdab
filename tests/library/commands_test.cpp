#include "library/commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/caches.h"
#include "page/panel.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"

namespace {

class CommandsTest : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock;

  void SetUp() override { Caches::emptyAll(); }
  void TearDown() override { Caches::emptyAll(); }

  void command(const std::string& name, const std::string& text) {
    home.write(".claude/commands/" + name + ".md", text);
  }
  void skill(const std::string& name, const std::string& text) {
    home.write(".claude/skills/" + name + "/SKILL.md", text);
  }
  void agent(const std::string& name, const std::string& text) {
    home.write(".claude/agents/" + name + ".md", text);
  }
  static std::vector<std::string> names(const std::vector<Command>& list, size_t from) {
    std::vector<std::string> out;
    for (size_t i = from; i < list.size(); ++i) out.push_back(list[i].name + ":" + list[i].kind);
    return out;
  }
};

TEST(FrontMatter, QuotedBlockAndPlainValues) {
  EXPECT_EQ(Commands::descriptionIn("---\ndescription: \"Ship it to prod\"\n---\n"),
            "Ship it to prod");
  // Only a leading double quote is dropped; single quotes stay as written.
  EXPECT_EQ(Commands::descriptionIn("description: \"half open"), "half open");
  EXPECT_EQ(Commands::descriptionIn("description: 'single'"), "'single'");
  EXPECT_EQ(Commands::descriptionIn("description:\t  spaced out \t\nnext: x"), "spaced out");
  // Case and column matter; the first matching line wins wherever it stands.
  EXPECT_EQ(Commands::descriptionIn(
                "Description: no\n description: no\nbody\ndescription: yes\ndescription: later"),
            "yes");
  EXPECT_EQ(Commands::descriptionIn("name: x\n---\n"), "");
}

TEST(FrontMatter, FoldedBlockEndsAtTheFirstUnindentedLine) {
  std::string text = "description: >-\n  first line  \n\tsecond line\nname: after\n  not part\n";
  EXPECT_EQ(Commands::descriptionIn(text), "first line second line");
  EXPECT_EQ(Commands::descriptionIn("description: |\n  one\n\n  after a gap\n"), "one");
  EXPECT_EQ(Commands::descriptionIn("description: >\n\"  quoted block\"\n"), "");
  EXPECT_EQ(Commands::descriptionIn("description: |-\n  \"quoted block\"\n"), "quoted block");
}

TEST(FrontMatter, WindowsLineEndsDoNotStickToTheValue) {
  EXPECT_EQ(Commands::descriptionIn("---\r\ndescription: \"Quoted\"\r\n---\r\n"), "Quoted");
  EXPECT_EQ(Commands::descriptionIn("description: >-\r\n  a\r\n  b\r\nx: y\r\n"), "a b");
}

TEST(FrontMatter, CutAtTwoHundredTwentyCharactersNotBytes) {
  std::string hebrew;
  for (int i = 0; i < 300; ++i) hebrew += "ש";  // two bytes each
  std::string value = Commands::descriptionIn("description: " + hebrew);
  EXPECT_EQ(value.size(), 220u * 2);
  EXPECT_EQ(Commands::descriptionIn("description: " + std::string(500, 'a')),
            std::string(220, 'a'));
}

TEST_F(CommandsTest, OnlyTheFirstFourThousandBytesAreRead) {
  command("late", std::string(3990, '#') + "\ndescription: too late\n");
  command("cut", std::string(3980, '#') + "\ndescription: cut off here");
  auto list = Commands::all();
  ASSERT_EQ(list.size(), Commands::builtIns().size() + 2);
  EXPECT_EQ(list[29].name, "cut");
  EXPECT_EQ(list[29].hint, "cut of");  // byte 4000 falls inside the value
  EXPECT_EQ(list[30].name, "late");
  EXPECT_EQ(list[30].hint, "");
  EXPECT_EQ(Commands::frontMatter(home.path() + "/missing.md"), "");
}

TEST_F(CommandsTest, BuiltInsThenCommandsThenSkillsThenAgentsEachSortedAlone) {
  command("deploy", "---\ndescription: \"Ship it\"\n---\nbody\n");
  command("Zeta", "");
  command("model", "description: my own model command\n");
  home.write(".claude/commands/notes.txt", "description: not markdown\n");
  home.write(".claude/commands/sub/inner.md", "description: no descent\n");
  skill("lint", "description: Lint\n");
  skill("alpha", "description: first skill\n");
  home.write(".claude/skills/empty/README.md", "a folder without SKILL.md\n");
  agent("reviewer", "description: reads code\n");
  agent(".hidden", "description: listed too\n");
  agent("archer", "");

  auto list = Commands::all();
  const auto& builtIns = Commands::builtIns();
  ASSERT_EQ(builtIns.size(), 29u);
  ASSERT_GE(list.size(), builtIns.size());
  EXPECT_EQ(list.front().name, "clear");
  EXPECT_EQ(builtIns.back().name, "exit");
  for (size_t i = 0; i < builtIns.size(); ++i) EXPECT_EQ(list[i].name, builtIns[i].name);
  // Code-point order puts capitals first; a file may share a built-in's name and both stay.
  EXPECT_EQ(
      names(list, builtIns.size()),
      (std::vector<std::string>{"Zeta:command", "deploy:command", "model:command", "alpha:skill",
                                "lint:skill", ".hidden:agent", "archer:agent", "reviewer:agent"}));
  EXPECT_EQ(list[30].hint, "Ship it");
  EXPECT_FALSE(list[30].interactive);
  EXPECT_EQ(list[32].hint, "first skill");
}

TEST_F(CommandsTest, FileNamesThatAreNotUtf8StillMakeAPayload) {
  command("bad\xff", "description: x\n");
  auto list = Commands::payload();
  ASSERT_EQ(list.size(), 30u);
  EXPECT_EQ(list[29]["name"], "bad\xEF\xBF\xBD");
  EXPECT_NO_THROW(list.dump());
}

TEST_F(CommandsTest, PickerOnlyForABareInteractiveCommand) {
  command("model", "description: shadowed by the built-in\n");
  command("deploy", "description: runs at once\n");
  EXPECT_TRUE(Commands::opensPicker("/model"));
  EXPECT_TRUE(Commands::opensPicker("  /model  "));
  EXPECT_FALSE(Commands::opensPicker("/model opus"));
  EXPECT_FALSE(Commands::opensPicker("/compact"));
  EXPECT_FALSE(Commands::opensPicker("/deploy"));
  EXPECT_FALSE(Commands::opensPicker("/nosuch"));
  EXPECT_FALSE(Commands::opensPicker("model"));
  EXPECT_FALSE(Commands::opensPicker(""));
  EXPECT_FALSE(Commands::opensPicker("/MODEL"));
}

TEST_F(CommandsTest, CatalogueIsKeptForAMinute) {
  size_t first = Commands::all().size();
  command("fresh", "description: new\n");
  clock.advance(59);
  EXPECT_EQ(Commands::all().size(), first);
  clock.advance(2);
  EXPECT_EQ(Commands::all().size(), first + 1);
}

TEST_F(CommandsTest, PayloadCarriesEveryField) {
  auto list = Commands::payload();
  ASSERT_EQ(list.size(), 29u);
  EXPECT_EQ(list[2], (nlohmann::json{{"name", "context"},
                                     {"hint", "What is filling the context window"},
                                     {"kind", "built-in"},
                                     {"interactive", true}}));
}

TEST_F(CommandsTest, BookGroupsAgentsCommandsFamiliesSinglesThenBuiltIns) {
  skill("lint", "description: Lint\n");
  skill("git-push", "description: Push\n");
  skill("git-pull", "");
  skill("zz-one", "description: alone\n");
  skill("docs", "description: Docs\n");
  command("deploy", "");
  agent("reviewer", "description: reads code\n");

  nlohmann::json book = Panel::book();
  ASSERT_TRUE(book.is_array());
  std::vector<std::string> titles;
  for (const auto& g : book) titles.push_back(g["title"]);
  EXPECT_EQ(titles, (std::vector<std::string>{"agents", "Your own commands", "family git",
                                              "Individual skills", "Built-in terminal commands"}));
  EXPECT_EQ(book[1]["rows"][0],
            (nlohmann::json{{"name", "deploy"}, {"kind", "command"}, {"hint", "no description"}}));
  const auto& git = book[2]["rows"];
  ASSERT_EQ(git.size(), 2u);
  EXPECT_EQ(git[0]["name"], "git-pull");
  EXPECT_EQ(git[0]["hint"], "no description");
  EXPECT_EQ(git[1]["name"], "git-push");
  const auto& single = book[3]["rows"];
  ASSERT_EQ(single.size(), 3u);
  EXPECT_EQ(single[0]["name"], "docs");
  EXPECT_EQ(single[1]["name"], "lint");
  EXPECT_EQ(single[2]["name"], "zz-one");
  EXPECT_EQ(book[4]["rows"].size(), 29u);
}

TEST_F(CommandsTest, BookLeavesOutEmptyGroups) {
  nlohmann::json book = Panel::book();
  ASSERT_EQ(book.size(), 1u);
  EXPECT_EQ(book[0]["title"], "Built-in terminal commands");
}

TEST(CommandsHebrew, KindsHintsAndTitlesInHebrew) {
  ScopedHome home;
  ScopedLanguage hebrew{"he"};
  Caches::emptyAll();
  home.write(".claude/skills/solo/SKILL.md", "");
  auto list = Commands::all();
  EXPECT_EQ(list[0].kind, "מובנית");
  EXPECT_EQ(list[18].name, "init");
  EXPECT_EQ(list[18].hint, "לייצר קובץ־הנחיות לפרויקט");  // with the Hebrew hyphen U+05BE
  EXPECT_EQ(list.back().kind, "סקיל");
  nlohmann::json book = Panel::book();
  ASSERT_EQ(book.size(), 2u);
  EXPECT_EQ(book[0]["title"], "סקילים בודדים");
  EXPECT_EQ(book[0]["rows"][0]["hint"], "בלי תיאור");
  EXPECT_EQ(book[1]["title"], "פקודות מובנות במסוף");
  Caches::emptyAll();
}

}  // namespace
