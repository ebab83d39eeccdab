// The claim on the terminals: one owner at a time, also when the lock file is removed or
// replaced under it, and a clear reason when the lock cannot be had at all.

#include "app/claim.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "support/home.h"

namespace {

// The control socket as the owners see it: one flag for whoever wears the badge.
struct Socket {
  int wearers = 0;
  Claim::Badge badgeFor(bool& mine) {
    Claim::Badge b;
    b.up = [this, &mine] {
      if (!mine) ++wearers;
      mine = true;
    };
    b.down = [this, &mine] {
      if (mine) --wearers;
      mine = false;
    };
    b.heard = [this] { return wearers > 0; };
    return b;
  }
};

class ClaimTest : public ::testing::Test {
 protected:
  ScopedHome home;
  std::string lock = home.path() + "/state/owner.lock";
  std::string log = home.path() + "/state/owner.log";

  // The verbs of the claim's log, in order.
  std::vector<std::string> said() const {
    std::vector<std::string> out;
    for (const auto& line : Text::split(Files::read(log).value_or(""), '\n')) {
      if (Text::contains(line, " took ")) out.push_back("took");
      if (Text::contains(line, " gave up: ")) out.push_back("gave up");
      if (Text::contains(line, " cannot take: ")) out.push_back("cannot take");
    }
    return out;
  }
};

TEST_F(ClaimTest, ARemovedOrReplacedLockFileHandsOverWithoutTwoOwners) {
  for (bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "replaced" : "removed");
    ::unlink(log.c_str());
    Socket socket;
    bool firstWears = false, secondWears = false;
    auto first = std::make_unique<Claim>(lock, log);
    first->wear(socket.badgeFor(firstWears));
    Claim second(lock, log);
    second.wear(socket.badgeFor(secondWears));

    EXPECT_TRUE(first->take().fresh);
    EXPECT_EQ(second.take().standing, Claim::Standing::viewer);

    if (replace) {
      std::string other = lock + ".new";
      ASSERT_TRUE(Files::append(other, "", 0600));
      ASSERT_EQ(::rename(other.c_str(), lock.c_str()), 0);
    } else {
      ASSERT_EQ(::unlink(lock.c_str()), 0);
    }
    // The owner stops at once, before any scan of its own.
    EXPECT_FALSE(first->sure());
    EXPECT_FALSE(first->held());

    // The newcomer locks the new file but waits while the one before still answers.
    EXPECT_EQ(second.take().standing, Claim::Standing::waiting);
    EXPECT_FALSE(second.held());
    // The one before lets go at its scan and finds the lock taken.
    EXPECT_EQ(first->take().standing, Claim::Standing::viewer);
    EXPECT_FALSE(firstWears);
    auto took = second.take();
    EXPECT_EQ(took.standing, Claim::Standing::owner);
    EXPECT_TRUE(took.fresh);
    EXPECT_TRUE(second.sure());
    EXPECT_EQ(socket.wearers, 1);
    EXPECT_EQ(said(), (std::vector<std::string>{"took", "gave up", "took"}));

    first.reset();
    second.take();
    EXPECT_TRUE(second.sure()) << "a viewer that quits takes nothing with it";
  }
}

TEST_F(ClaimTest, ALoneOwnerTakesItsRemovedLockFileAgainAndSaysWhoItIs) {
  Socket socket;
  bool wears = false;
  Claim only(lock, log);
  only.wear(socket.badgeFor(wears));
  ASSERT_TRUE(only.take().fresh);
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  auto again = only.take();
  EXPECT_EQ(again.standing, Claim::Standing::owner);
  EXPECT_TRUE(again.fresh);
  EXPECT_TRUE(wears);
  EXPECT_EQ(said(), (std::vector<std::string>{"took", "gave up", "took"}));

  auto holder = Claim::holderIn(Files::read(lock).value_or(""));
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->pid, ::getpid());
  EXPECT_EQ(holder->host, Paths::host());
  EXPECT_FALSE(holder->started.empty());

  // A viewer reads who owns and whether it answers.
  Claim viewer(lock, log);
  bool viewerWears = false;
  viewer.wear(socket.badgeFor(viewerWears));
  auto seen = viewer.take();
  EXPECT_EQ(seen.standing, Claim::Standing::viewer);
  ASSERT_TRUE(seen.holder);
  EXPECT_EQ(seen.holder->pid, ::getpid());
  EXPECT_TRUE(seen.answers);

  EXPECT_FALSE(Claim::holderIn("{\"pid\":0}"));
  EXPECT_FALSE(Claim::holderIn("half a {"));
}

TEST_F(ClaimTest, ALockThatCannotBeHadSaysWhyOnceAndNeverPassesForAViewer) {
  Files::makeDirectories(lock, 0700);  // a folder in the lock file's place
  Claim claim(lock, log);
  auto state = claim.take();
  EXPECT_EQ(state.standing, Claim::Standing::failed);
  EXPECT_TRUE(Text::contains(state.why, "plain file")) << state.why;
  EXPECT_TRUE(Text::contains(state.why, lock)) << state.why;
  EXPECT_EQ(claim.take().standing, Claim::Standing::failed);
  EXPECT_EQ(said(), (std::vector<std::string>{"cannot take"})) << "said at every scan";

  // Cleared, it takes the claim at the next scan.
  ASSERT_EQ(::rmdir(lock.c_str()), 0);
  EXPECT_TRUE(claim.take().fresh);
}

TEST(FileLockFaults, EachReasonIsTold) {
  ScopedHome home;
  std::string base = home.path() + "/";

  Files::makeDirectories(base + "folder.lock", 0700);
  auto folder = FileLock::take(base + "folder.lock");
  EXPECT_EQ(folder.fault, FileLock::Fault::notRegular);

  ASSERT_EQ(::symlink((base + "elsewhere").c_str(), (base + "link.lock").c_str()), 0);
  EXPECT_EQ(FileLock::take(base + "link.lock").fault, FileLock::Fault::notRegular);
  EXPECT_FALSE(Files::exists(base + "elsewhere")) << "a link was followed";

  // Another user's file (as root, given away; otherwise one we may not write).
  std::string theirs = base + "theirs.lock";
  ASSERT_TRUE(Files::append(theirs, "", 0600));
  if (::geteuid() == 0)
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  else
    ASSERT_EQ(::chmod(theirs.c_str(), 0400), 0);
  auto refused = FileLock::take(theirs);
  EXPECT_EQ(refused.fault, FileLock::Fault::notOurs);
  EXPECT_TRUE(Text::contains(refused.why(theirs), "another user")) << refused.why(theirs);

  std::string mine = base + "mine.lock";
  auto held = FileLock::take(mine);
  ASSERT_TRUE(held.lock);
  auto second = FileLock::take(mine);
  EXPECT_EQ(second.fault, FileLock::Fault::held);
  EXPECT_EQ(second.why(mine), "") << "another holder is no fault";
}

TEST(FileLockName, TheLockKnowsWhenItsNameLeadsElsewhere) {
  ScopedHome home;
  std::string path = home.path() + "/owner.lock";
  auto held = FileLock::take(path);
  ASSERT_TRUE(held.lock);
  EXPECT_TRUE(held.lock->namedBy(path));
  ASSERT_TRUE(held.lock->rewrite("{\"pid\":1}\n"));
  ASSERT_TRUE(held.lock->rewrite("x"));
  EXPECT_EQ(Files::read(path).value_or(""), "x") << "the old text stays behind";

  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_FALSE(held.lock->namedBy(path));
  // The very hazard the claim guards against: the old holder's lock no longer keeps a
  // newcomer out.
  auto newcomer = FileLock::take(path);
  ASSERT_TRUE(newcomer.lock);
  EXPECT_TRUE(newcomer.lock->namedBy(path));
  EXPECT_FALSE(held.lock->namedBy(path));
}

}  // namespace
