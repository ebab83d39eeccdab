#include "library/documents.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "base/files.h"
#include "base/text.h"
#include "library/desktop.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"

namespace {

class DocumentsTest : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};

  std::string file(const std::string& relative, const std::string& text) { return home.write(relative, text); }
  std::string contents(const std::string& path) { return Files::read(path).value_or("<missing>"); }
};

TEST_F(DocumentsTest, ExpandOnlyTheUsersOwnTilde) {
  EXPECT_EQ(Documents::expand("~/notes/a.md"), home.path() + "/notes/a.md");
  EXPECT_EQ(Documents::expand("~"), home.path());
  EXPECT_EQ(Documents::expand("~bob/a.md"), "~bob/a.md");
  EXPECT_EQ(Documents::expand("/tmp/~/a"), "/tmp/~/a");
}

TEST_F(DocumentsTest, KindsByLowerCasedExtension) {
  EXPECT_EQ(Documents::kind("/a/b.MARKDOWN"), "md");
  EXPECT_EQ(Documents::kind("/a/b.Pdf"), "pdf");
  EXPECT_EQ(Documents::kind("/a/b.HEIC"), "image");
  EXPECT_EQ(Documents::kind("/a/run.applescript"), "text");
  EXPECT_EQ(Documents::kind("/a/b.zip"), "other");
  EXPECT_EQ(Documents::kind("/a/Makefile"), "other");
  EXPECT_EQ(Documents::kind("/a/.md"), "other");  // a hidden file, not an extension
}

TEST_F(DocumentsTest, ReadGivesTextOrExactlyOneError) {
  auto missing = Documents::read("~/nothing.md");
  EXPECT_EQ(missing.text, "");
  EXPECT_EQ(missing.error, "File not found");

  file("a.md", "shalom \xff world");
  auto doc = Documents::read("~/a.md");
  EXPECT_EQ(doc.error, "");
  EXPECT_EQ(doc.text, "shalom \xEF\xBF\xBD world");

  file("empty.md", "");
  auto empty = Documents::read("~/empty.md");
  EXPECT_EQ(empty.text, "");
  EXPECT_EQ(empty.error, "");

  std::string big = file("big.md", "");
  ASSERT_EQ(::truncate(big.c_str(), 2'000'001), 0);
  EXPECT_EQ(Documents::read(big).error, "File too large to open here");
  ASSERT_EQ(::truncate(big.c_str(), 2'000'000), 0);
  EXPECT_EQ(Documents::read(big).error, "");
}

TEST_F(DocumentsTest, SaveNeverCreatesAFile) {
  std::string error = Documents::write("~/new.md", "text");
  EXPECT_EQ(error, "File not found — Velmo only saves over a file that exists");
  EXPECT_FALSE(Files::exists(home.path() + "/new.md"));
  EXPECT_FALSE(Files::exists(home.path() + "/new.md.gib"));
}

TEST_F(DocumentsTest, SaveKeepsOneBackupOfTheContentBeforeIt) {
  std::string path = file("notes.md", "first");
  EXPECT_EQ(Documents::write("~/notes.md", "second"), "");
  EXPECT_EQ(contents(path), "second");
  EXPECT_EQ(contents(path + ".gib"), "first");
  EXPECT_EQ(Documents::write(path, "third"), "");
  EXPECT_EQ(contents(path), "third");
  EXPECT_EQ(contents(path + ".gib"), "second");
  EXPECT_EQ(Files::list(home.path())->size(), 3u);  // .claude, the file, one backup: no leftovers
}

// A save may be cut short at any moment (the app killed, the machine off): there must be no
// moment in a save when the backup is gone or only partly written.
TEST_F(DocumentsTest, TheBackupIsWholeAtEveryMomentOfASave) {
  const std::string first(32 * 1024, 'a'), second(32 * 1024, 'b');
  std::string path = file("notes.md", first);
  ASSERT_EQ(Documents::write(path, second), "");
  std::atomic<bool> saving{true};
  std::atomic<int> looks{0}, missing{0}, torn{0};
  std::thread watcher([&] {
    while (saving) {
      auto backup = Files::read(path + ".gib");
      if (!backup)
        ++missing;
      else if (*backup != first && *backup != second)
        ++torn;
      ++looks;
    }
  });
  std::string failed;
  // Fifty saves, and more until the watcher has looked during them: a loaded machine may
  // not run its thread before the fifty are done.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int i = 0; failed.empty() &&
                  (i < 50 || (looks.load() == 0 && std::chrono::steady_clock::now() < until));
       ++i)
    failed = Documents::write(path, i % 2 ? second : first);
  saving = false;
  watcher.join();
  EXPECT_EQ(failed, "");
  EXPECT_GT(looks.load(), 0);
  EXPECT_EQ(missing.load(), 0) << "of " << looks.load() << " looks";
  EXPECT_EQ(torn.load(), 0) << "of " << looks.load() << " looks";
}

TEST_F(DocumentsTest, SaveKeepsPermissionsAndLinks) {
  std::string real = file("private/real.md", "secret");
  ::chmod(real.c_str(), 0600);
  std::string link = home.path() + "/link.md";
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  EXPECT_EQ(Documents::write(link, "new secret"), "");
  struct stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(contents(real), "new secret");
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((real + ".gib").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DocumentsTest, FailedSaveSaysSoAndLeavesNothingBehind) {
  Files::makeDirectories(home.path() + "/folder.md");
  std::string error = Documents::write("~/folder.md", "text");
  EXPECT_EQ(error.rfind("Save failed: ", 0), 0u) << error;
  EXPECT_GT(error.size(), std::string("Save failed: ").size());
  EXPECT_TRUE(Files::isDirectory(home.path() + "/folder.md"));
  EXPECT_EQ(Files::list(home.path())->size(), 2u);
}

TEST_F(DocumentsTest, PipesAreNeitherReadNorReplaced) {
  std::string pipe = home.path() + "/pipe.md";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(Documents::read(pipe).error, "No read permission");
  EXPECT_EQ(Documents::asset(pipe)["error"], "No read permission");
  EXPECT_EQ(Documents::write(pipe, "x").rfind("Save failed: ", 0), 0u);
  struct stat st {};
  ASSERT_EQ(::lstat(pipe.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_FALSE(Files::exists(pipe + ".gib"));
}

TEST_F(DocumentsTest, PathsNamedInText) {
  file("notes/a.md", "a");
  file("notes/b.txt", "b");
  file("notes/c.zip", "c");
  file("notes/d.PDF", "d");
  std::string abs = home.path() + "/notes/b.txt";
  std::string text = "see (~/notes/a.md), then `" + abs + "`. Also ~/notes/c.zip and ~/notes/gone.md;\n" +
                     "again ~/notes/a.md! and [" + home.path() + "/notes/d.PDF]?: and notes/a.md";
  EXPECT_EQ(Documents::paths(text), (std::vector<std::string>{"~/notes/a.md", abs, home.path() + "/notes/d.PDF"}));
  EXPECT_TRUE(Documents::paths("(~/notes/missing.md),").empty());
  EXPECT_TRUE(Documents::paths("").empty());
}

TEST(Stash, NamesAreCleanedAndStamped) {
  ScopedLanguage english{"en"};
  std::string oldTz = std::getenv("TZ") ? std::getenv("TZ") : "";
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  double when = 1'800'000'000;  // 2027-01-15 08:00:00 UTC
  EXPECT_EQ(Documents::stashName("my shot.png", when), "20270115-080000-my-shot.png");
  EXPECT_EQ(Documents::stashName("", when), "20270115-080000-file");
  EXPECT_EQ(Documents::stashName("   ", when), "20270115-080000-file");
  EXPECT_EQ(Documents::stashName("/Users/x/Desktop/a b.pdf", when), "20270115-080000-a-b.pdf");
  EXPECT_EQ(Documents::stashName("..", when), "20270115-080000-..");
  EXPECT_EQ(Documents::stashName("x\\..\\\"evil\".sh", when), "20270115-080000-x..evil.sh");
  EXPECT_EQ(Documents::stashName(std::string("a\0b.txt", 7), when), "20270115-080000-ab.txt");
  {
    ScopedLanguage hebrew{"he"};
    EXPECT_EQ(Documents::stashName(" ", when), "20270115-080000-קובץ");
  }
  if (oldTz.empty()) ::unsetenv("TZ"); else ::setenv("TZ", oldTz.c_str(), 1);
  ::tzset();
}

TEST_F(DocumentsTest, StashKeepsEveryPasteInsideTheDropsFolder) {
  FakeClock clock(1'800'000'000);
  std::string first = Documents::stash(Base64::encode("one"), "../../escape.txt");
  std::string second = Documents::stash(Base64::encode("two"), "escape.txt");
  std::string third = Documents::stash(Base64::encode("three"), "escape.txt");
  std::string drops = home.agent("velmo-drops") + "/";
  ASSERT_EQ(first.rfind(drops, 0), 0u) << first;
  EXPECT_TRUE(Text::endsWith(first, "-escape.txt"));
  EXPECT_TRUE(Text::endsWith(second, "-escape-2.txt")) << second;
  EXPECT_TRUE(Text::endsWith(third, "-escape-3.txt")) << third;
  EXPECT_EQ(contents(first), "one");
  EXPECT_EQ(contents(second), "two");
  EXPECT_EQ(contents(third), "three");
  EXPECT_EQ(Files::list(drops)->size(), 3u);
  struct stat st {};
  ASSERT_EQ(::stat(first.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DocumentsTest, StashRefusesWhatIsNotStrictBase64) {
  EXPECT_EQ(Documents::stash("aGVsbG8=\n", "a.txt"), "");
  EXPECT_EQ(Documents::stash("aGVsbG8", "a.txt"), "");
  EXPECT_EQ(Documents::stash("aGV=bG8=", "a.txt"), "");
  EXPECT_EQ(Documents::stash("data:text/plain;base64,aGVsbG8=", "a.txt"), "");
  EXPECT_FALSE(Files::exists(home.agent("velmo-drops")));
  std::string ok = Documents::stash("aGVsbG8=", "a.txt");
  EXPECT_EQ(contents(ok), "hello");
}

class RecordingDesktop final : public Desktop::Host {
 public:
  std::vector<std::string> calls;
  bool reveal(const std::string& path) override {
    calls.push_back("reveal " + path);
    return true;
  }
  bool open(const std::string& target) override {
    calls.push_back("open " + target);
    return true;
  }
};

class DesktopTest : public DocumentsTest {
 protected:
  std::shared_ptr<RecordingDesktop> desktop = std::make_shared<RecordingDesktop>();
  void SetUp() override { Desktop::install(desktop); }
  void TearDown() override { Desktop::install(nullptr); }
};

TEST_F(DesktopTest, FilesAreShownAndOpenedByTheirFullPathOnly) {
  std::string path = file("docs/a.md", "a");
  EXPECT_TRUE(Documents::showInFinder("~/docs/a.md"));
  EXPECT_TRUE(Documents::reveal(path));
  EXPECT_FALSE(Documents::showInFinder("~/docs/missing.md"));
  EXPECT_FALSE(Documents::reveal("docs/a.md"));
  EXPECT_FALSE(Documents::reveal("--help"));
  EXPECT_FALSE(Documents::reveal(""));
  EXPECT_EQ(desktop->calls, (std::vector<std::string>{"reveal " + path, "open " + path}));
}

TEST_F(DesktopTest, OnlyWebAndMailAddressesAreOpened) {
  EXPECT_TRUE(Documents::openURL("https://example.org/a?b=c#d"));
  EXPECT_TRUE(Documents::openURL("HTTP://example.org"));
  EXPECT_TRUE(Documents::openURL("mailto:someone@example.org"));
  for (const char* refused : {"javascript:alert(1)", "file:///etc/passwd", "ssh://host", "not a url", "https:",
                              "https://example.org/a b", "https://example.org/\n", "", ":x", "/tmp/a.md"})
    EXPECT_FALSE(Documents::openURL(refused)) << refused;
  EXPECT_EQ(desktop->calls.size(), 3u);
}

TEST(Desktop, WithoutAHostRequestsAreRefused) {
  Desktop::install(nullptr);
  EXPECT_FALSE(Desktop::current()->open("https://example.org"));
  EXPECT_FALSE(Desktop::current()->reveal("/tmp"));
}

}  // namespace

namespace {

// Two users that are not us: one owns the files, the other tries to read or save them.
constexpr uid_t kOwner = 4243;
constexpr uid_t kStranger = 4242;

bool root() { return ::geteuid() == 0; }

// Runs `act` as a user the file's permissions keep out. Root may read and write anything,
// so as root it runs in a child process under another user; otherwise the mode alone does.
std::string asStranger(const std::function<std::string()>& act) {
  if (!root()) return act();
  int fds[2];
  if (::pipe(fds) != 0) return "<no pipe>";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(kStranger) != 0 || ::setuid(kStranger) != 0)
      ::_exit(2);
    std::string out = act();
    ssize_t put = ::write(fds[1], out.data(), out.size());
    ::_exit(put == static_cast<ssize_t>(out.size()) ? 0 : 3);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    out.append(buffer, static_cast<size_t>(got));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<child failed>";
  return out;
}

struct stat statOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

// A folder anyone may enter and write in, so only the file's own permissions decide.
class DocumentSafetyTest : public DocumentsTest {
 protected:
  void SetUp() override { ::chmod(folder.c_str(), 0777); }
  void TearDown() override { removeTree(folder); }
  std::string put(const std::string& name, const std::string& text, mode_t mode) {
    std::string path = folder + "/" + name;
    EXPECT_TRUE(Files::writeAtomic(path, text, mode));
    return path;
  }
  std::string folder = makeTempDir();
};

}  // namespace

TEST_F(DocumentSafetyTest, AFileNotReadWholeIsNeitherEditedNorSaved) {
  std::string big = put("big.md", "", 0644);
  ASSERT_EQ(::truncate(big.c_str(), 2'000'001), 0);
  auto doc = Documents::read(big);
  EXPECT_EQ(doc.error, "File too large to open here");
  EXPECT_FALSE(doc.editable());
  EXPECT_EQ(Documents::save(big, "", doc.version).error,
            "The file was not read whole, so Velmo does not save over it");
  EXPECT_EQ(statOf(big).st_size, 2'000'001);
  EXPECT_FALSE(Files::exists(big + ".gib"));

  std::string secret = put("secret.md", "only mine", 0600);
  if (root()) ASSERT_EQ(::chown(secret.c_str(), kOwner, kOwner), 0);
  else ASSERT_EQ(::chmod(secret.c_str(), 0), 0);
  EXPECT_EQ(asStranger([&] {
              auto d = Documents::read(secret);
              return d.error + "|" + (d.editable() ? "editable" : "-") + "|" + d.text + "|" +
                     Documents::save(secret, "", d.version).error;
            }),
            "No read permission|-||The file was not read whole, so Velmo does not save over it");
  ::chmod(secret.c_str(), 0600);
  EXPECT_EQ(contents(secret), "only mine");
}

TEST_F(DocumentSafetyTest, ALossyReadingIsShownButNeverSavedBack) {
  std::string path = put("odd.md", "shalom \xff world", 0644);
  auto doc = Documents::read(path);
  EXPECT_EQ(doc.error, "");
  EXPECT_EQ(doc.text, "shalom \xEF\xBF\xBD world");
  EXPECT_FALSE(doc.editable());
  EXPECT_NE(doc.locked.find("not valid UTF-8"), std::string::npos) << doc.locked;
  // Even handed the reading's own version, the repaired text never replaces the bytes.
  ASSERT_TRUE(doc.version.known());
  EXPECT_EQ(Documents::save(path, doc.text, doc.version).error, doc.locked);
  EXPECT_EQ(contents(path), "shalom \xff world");
  EXPECT_FALSE(Files::exists(path + ".gib"));
  ScopedLanguage hebrew{"he"};
  EXPECT_NE(Documents::read(path).locked.find("UTF-8 תקין"), std::string::npos);
}

TEST_F(DocumentSafetyTest, AFileChangedOnDiskSinceItWasReadIsNotSavedOver) {
  std::string path = put("notes.md", "first draft\n", 0640);
  auto doc = Documents::read(path);
  ASSERT_TRUE(doc.editable()) << doc.locked;

  // The same size and, set back, the same time: only the content tells.
  ASSERT_TRUE(Files::writeAtomic(path, "FIRST draft\n", 0640));
  struct timespec times[2] = {{0, UTIME_OMIT},
                              {doc.version.modified / 1'000'000'000, doc.version.modified % 1'000'000'000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  auto refused = Documents::save(path, "my edit", doc.version);
  EXPECT_EQ(refused.error, "The file changed on disk since it was opened, so it was not saved. "
                           "Copy your text and open the file again");
  EXPECT_FALSE(refused.version.known());
  EXPECT_EQ(contents(path), "FIRST draft\n");
  EXPECT_FALSE(Files::exists(path + ".gib"));
  ASSERT_TRUE(Files::append(path, "appended by the agent\n"));
  EXPECT_EQ(Documents::save(path, "my edit", doc.version).error, refused.error);
  EXPECT_EQ(contents(path), "FIRST draft\nappended by the agent\n");

  // Read again, it saves; the backup holds what was replaced, both keep the file's mode,
  // and the save's own version lets the next save through while the old one is stale.
  auto fresh = Documents::read(path);
  auto saved = Documents::save(path, "my edit", fresh.version);
  ASSERT_EQ(saved.error, "");
  EXPECT_EQ(contents(path), "my edit");
  EXPECT_EQ(contents(path + ".gib"), "FIRST draft\nappended by the agent\n");
  EXPECT_EQ(statOf(path).st_mode & 07777, 0640u);
  EXPECT_EQ(statOf(path + ".gib").st_mode & 07777, 0640u);
  EXPECT_EQ(saved.version, Documents::read(path).version);
  EXPECT_EQ(Documents::save(path, "again", fresh.version).error, refused.error);
  EXPECT_EQ(Documents::save(path, "again", saved.version).error, "");
  EXPECT_EQ(contents(path), "again");
  // A save killed mid-way left its temporary file behind: the next save clears it.
  const std::string left = path + ".tmp-2147483646-0";
  ASSERT_TRUE(Files::writeAtomic(left, "half"));
  EXPECT_EQ(Documents::save(path, "last", Documents::read(path).version).error, "");
  EXPECT_FALSE(Files::exists(left));
  // The page carries the version as text.
  EXPECT_EQ(Documents::Version::parse(saved.version.text()), saved.version);
  EXPECT_FALSE(Documents::Version::parse("12:34:short").known());
  EXPECT_FALSE(Documents::Version::parse("").known());
}

TEST_F(DocumentSafetyTest, AFileTheUserMayNotWriteIsNotReplaced) {
  std::string path = put("frozen.md", "keep me", 0444);
  auto doc = Documents::read(path);
  EXPECT_EQ(doc.error, "");
  EXPECT_EQ(doc.locked, "The file is read-only, so Velmo does not save over it");
  EXPECT_FALSE(doc.editable());
  EXPECT_EQ(Documents::save(path, "gone", doc.version).error, doc.locked);
  EXPECT_EQ(Documents::write(path, "gone"), doc.locked);
  EXPECT_EQ(contents(path), "keep me");
  EXPECT_EQ(statOf(path).st_mode & 07777, 0444u);
  EXPECT_FALSE(Files::exists(path + ".gib"));

  if (!root()) GTEST_SKIP() << "files of another user need root to set up";
  // Writable by all, but another user's: the rename would make the file ours.
  std::string theirs = put("theirs.md", "their text", 0666);
  ASSERT_EQ(::chown(theirs.c_str(), kOwner, kOwner), 0);
  EXPECT_EQ(asStranger([&] {
              auto d = Documents::read(theirs);
              return d.locked + "|" + Documents::save(theirs, "mine", d.version).error + "|" +
                     Documents::write(theirs, "mine");
            }),
            "The file belongs to another user, so Velmo does not replace it|"
            "The file belongs to another user, so Velmo does not replace it|"
            "The file belongs to another user, so Velmo does not replace it");
  EXPECT_EQ(contents(theirs), "their text");
  EXPECT_EQ(statOf(theirs).st_uid, kOwner);

  // Root may save it, and gives the new file and its backup back to the owner and group.
  std::string shared = put("shared.md", "group text", 0640);
  ASSERT_EQ(::chown(shared.c_str(), kOwner, kStranger), 0);
  auto read = Documents::read(shared);
  ASSERT_TRUE(read.editable()) << read.locked;
  ASSERT_EQ(Documents::save(shared, "saved by root", read.version).error, "");
  for (const std::string& p : {shared, shared + ".gib"}) {
    EXPECT_EQ(statOf(p).st_uid, kOwner) << p;
    EXPECT_EQ(statOf(p).st_gid, kStranger) << p;
    EXPECT_EQ(statOf(p).st_mode & 07777, 0640u) << p;
  }
}

TEST_F(DocumentSafetyTest, LargeFilesKeepTheirBackupOrAreNotSaved) {
  // Past what the editor opens, a save by a caller that read it keeps all of it as backup.
  const std::string large(3'000'000, 'x');
  std::string path = put("large.log", large, 0600);
  EXPECT_EQ(Documents::read(path).error, "File too large to open here");
  EXPECT_EQ(Documents::write(path, "short"), "");
  EXPECT_EQ(contents(path), "short");
  EXPECT_EQ(Files::read(path + ".gib", 4'000'000).value_or("") == large, true);

  // Past what a backup keeps, nothing is saved.
  std::string huge = put("huge.log", "", 0600);
  ASSERT_EQ(::truncate(huge.c_str(), int64_t{256} * 1024 * 1024 + 1), 0);
  EXPECT_EQ(Documents::write(huge, "short"),
            "The file is too large to keep a backup of, so it was not saved");
  EXPECT_EQ(statOf(huge).st_size, int64_t{256} * 1024 * 1024 + 1);
  EXPECT_FALSE(Files::exists(huge + ".gib"));

  // No backup can be kept (a folder has its name): the save is refused, not made bare.
  std::string notes = put("notes.md", "before", 0644);
  Files::makeDirectories(notes + ".gib");
  auto doc = Documents::read(notes);
  std::string error = Documents::save(notes, "after", doc.version).error;
  EXPECT_EQ(error.rfind("No backup could be kept, so the file was not saved: ", 0), 0u) << error;
  EXPECT_EQ(Documents::write(notes, "after"), error);
  EXPECT_EQ(contents(notes), "before");
}
