// What the readers do with whatever sits under a name they were told to read: only regular
// files are read, and everything else is passed over at once with one line in the log.

#include "base/files.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "base/caches.h"
#include "base/file_lock.h"
#include "base/lang.h"
#include "base/settings.h"
#include "base/text.h"
#include "sessions/language.h"
#include "support/home.h"

namespace {

std::string stderrOf(const std::function<void()>& work) {
  testing::internal::CaptureStderr();
  work();
  return testing::internal::GetCapturedStderr();
}

size_t count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// A listening Unix socket at `path`; the descriptor stays open for the test's life.
int socketAt(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  ::listen(fd, 1);
  return fd;
}

class Refusals : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};
  std::string at(const std::string& name) const { return home.path() + "/" + name; }
};

}  // namespace

TEST_F(Refusals, NothingButARegularFileIsReadAndEachIsLoggedOnce) {
  // A FIFO without a writer would block an ordinary open for good; /dev/zero would fill
  // memory; a folder or a socket cannot be read at all.
  ASSERT_EQ(::mkfifo(at("fifo.json").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", at("zero.json").c_str()), 0);
  ASSERT_TRUE(Files::makeDirectories(at("folder.json")));
  int sock = socketAt(at("sock.json"));
  ASSERT_GE(sock, 0);

  for (const char* name : {"fifo.json", "zero.json", "folder.json", "sock.json"}) {
    const std::string path = at(name);
    std::string log = stderrOf([&] {
      for (int scan = 0; scan < 3; ++scan) {
        EXPECT_FALSE(Files::read(path, 1 << 20)) << name;
        EXPECT_FALSE(Files::readTail(path, 300000)) << name;
        EXPECT_FALSE(Files::readHead(path, 4000)) << name;
        EXPECT_FALSE(Files::hold(path, 1 << 20)) << name;
      }
    });
    EXPECT_EQ(count(log, "\n"), 1u) << log;
    EXPECT_TRUE(Text::contains(log, "skipped " + path + ": not a regular file")) << log;
  }
  ::close(sock);

  // A link to a regular file is as good as the file.
  home.write("real.json", "{}");
  ASSERT_EQ(::symlink(at("real.json").c_str(), at("link.json").c_str()), 0);
  EXPECT_EQ(Files::read(at("link.json"), 100), "{}");
}

TEST_F(Refusals, AFileOverItsCapIsRefusedAndOneAtTheCapIsRead) {
  home.write("exact", std::string(64, 'x'));
  home.write("over", std::string(65, 'x'));
  EXPECT_EQ(Files::read(at("exact"), 64).value_or("").size(), 64u);
  std::string log = stderrOf([&] {
    EXPECT_FALSE(Files::read(at("over"), 64));
    EXPECT_FALSE(Files::read(at("over"), 64));
  });
  EXPECT_EQ(log, "Velmo: skipped " + at("over") + ": larger than 64 bytes\n");

  // A file that tells no size (as /proc files do) is held to the cap by what is read.
  EXPECT_FALSE(Files::read("/proc/self/status", 10));
  EXPECT_TRUE(Text::contains(Files::read("/proc/self/status", 1 << 16).value_or(""), "Pid:"));

  // Heads and tails take their share of a file of any size.
  EXPECT_EQ(Files::readHead(at("over"), 3), "xxx");
  EXPECT_EQ(Files::readTail(at("over"), 5)->bytes, "xxxxx");
}

TEST_F(Refusals, AFileMendedAndBrokenAgainIsLoggedAgainAndAMissingOneNever) {
  const std::string path = at("registry.json");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::string log = stderrOf([&] {
    Files::read(path);
    ::unlink(path.c_str());
    home.write("registry.json", "{}");
    EXPECT_EQ(Files::read(path), "{}");
    ::unlink(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    Files::read(path);
    Files::read(path);
    EXPECT_FALSE(Files::read(at("missing")));
    EXPECT_FALSE(Files::readTail(at("missing/below"), 10));
  });
  EXPECT_EQ(count(log, "not a regular file"), 2u) << log;
  EXPECT_FALSE(Text::contains(log, "missing")) << log;
}

TEST_F(Refusals, AppendingToAFifoFailsAtOnce) {
  // Opening a FIFO for writing waits for a reader; a log line must never wait.
  ASSERT_EQ(::mkfifo(at("x.log").c_str(), 0600), 0);
  EXPECT_FALSE(Files::append(at("x.log"), "line\n"));
  EXPECT_TRUE(Files::append(at("y.log"), "line\n"));
  EXPECT_EQ(Files::read(at("y.log")), "line\n");
}

TEST_F(Refusals, ASettingsFileThatIsAFifoCountsAsNoSettings) {
  // Logging the refusal asks for the language, which reads this very file: the refusal
  // must neither deadlock nor repeat itself.
  Files::makeDirectories(home.path() + "/.config/velmo");
  ASSERT_EQ(::mkfifo((home.path() + "/.config/velmo/settings.json").c_str(), 0600), 0);
  ::unsetenv("VELMO_LANG");
  ::setenv("LANGUAGE", "he", 1);
  Settings::reload();
  Caches::emptyAll();
  std::string log = stderrOf([&] {
    EXPECT_EQ(Settings::text("openSID", "none"), "none");
    EXPECT_EQ(Lang::code(), "he");
  });
  ::unsetenv("LANGUAGE");
  Caches::emptyAll();
  EXPECT_EQ(count(log, "\n"), 1u) << log;
  EXPECT_TRUE(Text::contains(log, "settings.json")) << log;
}

TEST(FileLockTest, OneHolderAtATimeAndNeverAFifo) {
  ScopedHome home;
  std::string path = home.path() + "/owner.lock";
  {
    auto first = FileLock::tryTake(path);
    ASSERT_TRUE(first.has_value());
    // flock is held per open file, so a second open in the same process is refused as
    // another process would be.
    EXPECT_FALSE(FileLock::tryTake(path).has_value());
    FileLock moved = std::move(*first);
    first.reset();
    EXPECT_FALSE(FileLock::tryTake(path).has_value()) << "a moved lock is still held";
  }
  EXPECT_TRUE(FileLock::tryTake(path).has_value()) << "released with its holder";

  std::string fifo = home.path() + "/fifo.lock";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(FileLock::tryTake(fifo).has_value());
  std::string link = home.path() + "/link.lock";
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  EXPECT_FALSE(FileLock::tryTake(link).has_value());
}
