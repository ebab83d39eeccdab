#include "library/works.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/files.h"
#include "library/outputs.h"
#include "page/panel.h"
#include "page/panel_chat.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

using Records::Json;

namespace {

constexpr Clock::Time t0 = 1.8e9;

// Files under /tmp/ are never outputs, so the test's home lies elsewhere.
class HomeOutsideTmp {
 public:
  HomeOutsideTmp() {
    if (const char* old = std::getenv("TMPDIR")) previous = old;
    ::setenv("TMPDIR", "/var/tmp", 1);
  }
  ~HomeOutsideTmp() {
    if (previous.empty())
      ::unsetenv("TMPDIR");
    else
      ::setenv("TMPDIR", previous.c_str(), 1);
  }

 private:
  std::string previous;
};

class LibraryFilesTest : public ::testing::Test {
 protected:
  HomeOutsideTmp outsideTmp;
  ScopedHome home;
  ScopedLanguage english{"en"};
  FakeClock clock{t0};

  std::string docs(const std::string& relative) {
    return Files::join(home.path(), "Documents/claude/" + relative);
  }
  std::string work(const std::string& relative, const std::string& text, Clock::Time modified) {
    std::string path = home.write("Documents/claude/" + relative, text);
    setModified(path, modified);
    return path;
  }
};

Json writes(const std::string& path, double at, const std::string& tool = "Write") {
  return Records::assistant(Json::array({Records::toolUse(tool, {{"file_path", path}})}), t0 + at);
}
Json says(const std::string& text, double at) {
  return Records::assistant(Json::array({Records::text(text)}), t0 + at);
}

std::vector<std::string> pathsOf(const std::vector<Output>& outs) {
  std::vector<std::string> out;
  for (const Output& o : outs) out.push_back(o.path);
  return out;
}

// ---- outputs ----

TEST_F(LibraryFilesTest, OutputsListWrittenAndNamedFilesOnceWithTheirFirstTime) {
  std::string report = work("report.md", "# r", t0);
  std::string named = work("notes/plan.txt", "p", t0);
  std::string zip = work("bundle.zip", "z", t0);
  std::string tmp = "/tmp/velmo-outputs-" + std::to_string(::getpid()) + ".md";
  Files::writeAtomic(tmp, "t");
  std::string transcript = writeTranscript(
      home, "s1",
      Records::lines({writes(report, 1), writes(tmp, 2), writes(zip, 3),
                      writes(home.path() + "/x/scratchpad/a.md", 4), writes(report, 5, "Edit"),
                      says("See ~/Documents/claude/notes/plan.txt for the plan.", 6),
                      Records::sidechain(writes(docs("side.md"), 7))}));
  auto outs = Outputs::of("s1");
  ::unlink(tmp.c_str());
  EXPECT_EQ(pathsOf(outs), (std::vector<std::string>{report, named}));
  ASSERT_EQ(outs.size(), 2u);
  EXPECT_NEAR(outs[0].at, t0 + 1, 0.01);
  EXPECT_NEAR(outs[1].at, t0 + 6, 0.01);

  // The chat's rows: position, size in bytes, kind word.
  auto rows = Panel::sessionOutputs("s1");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["n"], 1);
  EXPECT_EQ(rows[1]["n"], 2);
  EXPECT_EQ(rows[0]["size"], 3);
  EXPECT_EQ(rows[0]["kind"], "doc");
  (void)transcript;
}

TEST_F(LibraryFilesTest, OutputsDropDeletedFilesAndWaitForHalfWrittenLines) {
  std::string a = work("a.md", "a", t0);
  std::string b = work("b.md", "b", t0);
  std::string transcript = writeTranscript(home, "s1", Records::lines({writes(a, 1)}));
  EXPECT_EQ(pathsOf(Outputs::of("s1")), (std::vector<std::string>{a}));

  std::string line = Records::lines({writes(b, 2)});
  appendTranscript(transcript, line.substr(0, line.size() / 2));
  EXPECT_EQ(pathsOf(Outputs::of("s1")), (std::vector<std::string>{a}));
  appendTranscript(transcript, line.substr(line.size() / 2));
  EXPECT_EQ(pathsOf(Outputs::of("s1")), (std::vector<std::string>{a, b}));

  ::unlink(a.c_str());
  EXPECT_EQ(pathsOf(Outputs::of("s1")), (std::vector<std::string>{b}));

  // A transcript that shrank is read again from its start.
  Files::writeAtomic(transcript, Records::lines({says("only " + b, 3)}));
  auto outs = Outputs::of("s1");
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_NEAR(outs[0].at, t0 + 3, 0.01);
  EXPECT_TRUE(Outputs::of("").empty());
  EXPECT_TRUE(Outputs::of("no-such-session").empty());
}

TEST_F(LibraryFilesTest, OutputsPassOverRecordsOfTheWrongShape) {
  std::string a = work("a.md", "a", t0);
  // Members of other types where strings belong: read past, and the good record still counts.
  std::string odd =
      R"({"type":7,"note":"assistant"})"
      "\n"
      R"({"type":"assistant","message":{"content":[{"type":"tool_use","name":"Write",)"
      R"("input":{"file_path":5}},{"type":"text","text":["x"]},{"type":{"a":1}}]}})"
      "\n";
  writeTranscript(home, "s1", odd + Records::lines({writes(a, 1)}));
  EXPECT_EQ(pathsOf(Outputs::of("s1")), (std::vector<std::string>{a}));
}

// ---- works ----

TEST_F(LibraryFilesTest, WorksAssignProjectsAndSkipWhatIsNotWork) {
  work("projects/alpha/report.md", "x", t0 - 10);
  work("notes/x.md", "x", t0 - 20);
  work("top.csv", "x", t0 - 30);
  work("archive.zip", "x", t0 - 5);
  work("node_modules/lib/readme.md", "x", t0);
  work(".hidden/secret.md", "x", t0);
  work("a/b/c/d/e/deep5.md", "x", t0 - 40);
  work("a/b/c/d/e/f/deep6.md", "x", t0);
  ::symlink(home.path().c_str(), docs("home-link").c_str());
  home.write("outside.md", "x");

  auto all = Works::everything();
  std::vector<std::string> names;
  for (const Work& w : all) names.push_back(w.name + ":" + w.project + ":" + w.kind);
  EXPECT_EQ(names, (std::vector<std::string>{"report.md:alpha:doc", "x.md:notes:doc",
                                             "top.csv:root:table", "deep5.md:a:doc"}));
  ScopedLanguage hebrew{"he"};
  EXPECT_EQ(Works::project(docs("top.csv"), Works::root()), "שורש");
  EXPECT_EQ(Works::project(docs("פרויקטים/בית/x.md"), Works::root()), "בית");
  EXPECT_EQ(Works::project(docs("projects/alpha/x.md"), Works::root()), "projects");
  EXPECT_EQ(Works::project(home.path() + "/Documents/claude2/x.md", Works::root()), "");
}

TEST_F(LibraryFilesTest, WorksPayloadSizesSpansAndFolders) {
  work("projects/alpha/big.pdf", std::string(3145728, 'x'), t0 - 3 * 86400);
  work("two.txt", std::string(2048, 'x'), t0 - 100);
  work("notes/sub/small.md", "12345", t0 - 40 * 86400);
  nlohmann::json w = Panel::works();
  ASSERT_EQ(w["rows"].size(), 3u);
  EXPECT_EQ(w["rows"][0]["size"], "2K");
  EXPECT_EQ(w["rows"][0]["folder"], "");
  EXPECT_EQ(w["rows"][0]["span"], "day");
  EXPECT_EQ(w["rows"][1]["size"], "3.0M");
  EXPECT_EQ(w["rows"][1]["span"], "week");
  EXPECT_EQ(w["rows"][1]["folder"], "projects/alpha");
  EXPECT_EQ(w["rows"][2]["size"], "5B");
  EXPECT_EQ(w["rows"][2]["span"], "old");
  EXPECT_EQ(w["rows"][2]["folder"], "notes/sub");
  EXPECT_EQ(w["projects"], (Json{"alpha", "notes", "root"}));
  EXPECT_EQ(Panel::sizeText(1023), "1023B");
  EXPECT_EQ(Panel::span(t0 - 10 * 86400), "month");
}

TEST_F(LibraryFilesTest, WorksAreWalkedAtMostEveryTwentySecondsAndPaintedAtMostFiveHundred) {
  for (int i = 0; i < 520; ++i) work("many/f" + std::to_string(i) + ".md", "x", t0 - i);
  EXPECT_EQ(Works::everything().size(), 520u);
  EXPECT_EQ(nlohmann::json(Panel::works())["rows"].size(), 500u);
  EXPECT_EQ(nlohmann::json(Panel::works())["rows"][0]["name"], "f0.md");

  work("fresh.md", "x", t0);
  clock.set(t0 + 19);
  EXPECT_EQ(Works::everything().size(), 520u) << "the walk of 19 seconds ago still holds";
  clock.set(t0 + 20);
  EXPECT_EQ(Works::everything().size(), 521u);
}

}  // namespace
