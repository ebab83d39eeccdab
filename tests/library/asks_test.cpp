#include "library/asks.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "base/files.h"
#include "sessions/language.h"
#include "support/home.h"

namespace {

const std::string kFile =
    "# Questions\n"
    "\n"
    "## 🟢 [q1] Low one\n"
    "**Asked by:** lab\n"
    "Some body.\n"
    "\n"
    "---\n"
    "\n"
    "## Not a question at all\n"
    "text\n"
    "\n"
    "## 🔴 [q2] Urgent one\n"
    "**Since:** Monday\n"
    "**עלות-הענייה:** high\n"
    "Why it matters.\n"
    "\n"
    "---\n"
    "\n"
    "## [q3] No mark\n"
    "Body of three.\n"
    "**Answer:** first line\n"
    "second line\n"
    "---\n"
    "tail of three\n";

class AsksTest : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};

  std::string put(const std::string& text) {
    Files::makeDirectories(Files::join(home.path(), "Documents/claude"));
    Files::writeAtomic(Asks::file(), text);
    return Asks::file();
  }
  Ask byId(const std::string& id) {
    for (const Ask& a : Asks::all())
      if (a.id == id) return a;
    ADD_FAILURE() << "no ask " << id;
    return {};
  }
};

TEST_F(AsksTest, SectionsSortByMarkAndHeadingsWithoutBracketsAreSkipped) {
  put(kFile);
  auto asks = Asks::all();
  ASSERT_EQ(asks.size(), 3u);
  EXPECT_EQ(asks[0].id, "q2");
  EXPECT_EQ(asks[0].urgency, "🔴");
  EXPECT_EQ(asks[0].title, "Urgent one");
  EXPECT_EQ(asks[0].since, "Monday");
  EXPECT_EQ(asks[0].cost, "high");
  EXPECT_EQ(asks[1].id, "q3");
  EXPECT_EQ(asks[1].urgency, "🟡");
  EXPECT_EQ(asks[1].answer, "first line\nsecond line");
  EXPECT_EQ(asks[1].body, "Body of three.\n---\ntail of three");
  EXPECT_EQ(asks[2].id, "q1");
  EXPECT_EQ(asks[2].asker, "lab");
  EXPECT_EQ(asks[2].body, "Some body.\n\n---");
}

TEST_F(AsksTest, HebrewLabelsAreBodyLinesInEnglish) {
  put("## [h] t\n**מבקש:** someone\n");
  EXPECT_EQ(byId("h").asker, "");
  EXPECT_EQ(byId("h").body, "**מבקש:** someone");
  ScopedLanguage hebrew{"he"};
  EXPECT_EQ(byId("h").asker, "someone");
}

TEST_F(AsksTest, AnAnswerReadsBackExactlyWhateverLinesItHolds) {
  const std::string path = put(kFile);
  const std::string answer = "Yes, go ahead.\n## x\n---\n\n  indented line\nשלום עולם\n> quoted";
  ASSERT_EQ(Asks::answer("q1", answer), "");
  Ask q1 = byId("q1");
  EXPECT_EQ(q1.answer, answer);
  EXPECT_EQ(q1.body, "Some body.\n\n---");
  EXPECT_EQ(Asks::all().size(), 3u) << "the answer's \"## x\" opened no section";

  // A backup of the file as it was, and the other sections byte for byte.
  EXPECT_EQ(Files::read(path + ".gib").value_or(""), kFile);
  std::string now = *Files::read(path);
  EXPECT_EQ(now.substr(0, kFile.find("Some body.")), kFile.substr(0, kFile.find("Some body.")));
  EXPECT_EQ(now.substr(now.find("\n---\n\n## Not a question")),
            kFile.substr(kFile.find("\n---\n\n## Not a question")));
}

TEST_F(AsksTest, ASecondAnswerReplacesTheFirst) {
  const std::string path = put(kFile);
  ASSERT_EQ(Asks::answer("q2", "first\n---\nmore"), "");
  std::string once = *Files::read(path);
  ASSERT_EQ(Asks::answer("q2", "second"), "");
  EXPECT_EQ(byId("q2").answer, "second");
  EXPECT_EQ(byId("q2").body, "Why it matters.\n\n---");
  std::string twice = *Files::read(path);
  EXPECT_EQ(twice.find("> first"), std::string::npos);
  // Answering again with the first text gives the first file back.
  ASSERT_EQ(Asks::answer("q2", "first\n---\nmore"), "");
  EXPECT_EQ(*Files::read(path), once);

  // A hand-written answer is replaced as a whole, up to its rule; what follows stays.
  ASSERT_EQ(Asks::answer("q3", "new"), "");
  EXPECT_EQ(byId("q3").answer, "new");
  EXPECT_EQ(byId("q3").body, "Body of three.\n---\ntail of three");
}

TEST_F(AsksTest, UnknownIdOrMissingFileLeavesEverythingAsItWas) {
  const std::string path = put(kFile);
  EXPECT_EQ(Asks::answer("nope", "x"), "Question not found");
  EXPECT_EQ(*Files::read(path), kFile);
  EXPECT_FALSE(Files::exists(path + ".gib"));

  ::unlink(path.c_str());
  EXPECT_TRUE(Asks::all().empty());
  EXPECT_EQ(Asks::answer("q1", "x"), "Could not read the questions file");
  EXPECT_FALSE(Files::exists(path));
}

TEST_F(AsksTest, AnswersInHebrewUseTheHebrewMarker) {
  ScopedLanguage hebrew{"he"};
  const std::string path = put("## 🟠 [a] כותרת\nגוף\n");
  ASSERT_EQ(Asks::answer("a", "כן\n## לא"), "");
  EXPECT_NE(Files::read(path)->find("**תשובה:**"), std::string::npos);
  EXPECT_EQ(byId("a").answer, "כן\n## לא");
  EXPECT_EQ(byId("a").body, "גוף");
  EXPECT_EQ(Asks::answer("zz", "x"), "השאלה לא נמצאה");
}

}  // namespace

TEST_F(AsksTest, QuestionsAppendedWhileAnswersAreWrittenAreNeverLost) {
  std::string path = put(kFile);
  constexpr int kAppended = 150;
  std::atomic<bool> started{false};
  // An agent appends its questions with its own tools, at any moment.
  std::thread agent([&] {
    for (int i = 0; i < kAppended; ++i) {
      std::string section = "\n## 🟠 [a" + std::to_string(i) + "] Appended " +
                            std::to_string(i) + "\nWhich way?\n";
      int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
      if (fd >= 0) {
        (void)!::write(fd, section.data(), section.size());
        ::close(fd);
      }
      started = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  while (!started) std::this_thread::yield();
  std::string last;
  for (int round = 0; round < 40; ++round) {
    std::string text = "answer " + std::to_string(round);
    if (Asks::answer("q2", text).empty()) last = text;
  }
  agent.join();
  ASSERT_FALSE(last.empty()) << "no answer was saved";
  std::set<std::string> ids;
  for (const Ask& a : Asks::all()) ids.insert(a.id);
  for (int i = 0; i < kAppended; ++i)
    EXPECT_TRUE(ids.count("a" + std::to_string(i))) << "question a" << i << " was lost";
  EXPECT_EQ(byId("q2").answer, last);
  EXPECT_EQ(byId("q3").answer, "first line\nsecond line");
}
