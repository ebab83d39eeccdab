// The control socket as the owner's badge: open while held, answering only while its
// owner says so, gone the moment it is dropped, and aware of a tidy-up removing it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "base/caches.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "control/client.h"
#include "control/control.h"
#include "support/home.h"

namespace {

TEST(Listener, AnswersWhileHeldAndOnlyWhileItsOwnerMay) {
  ScopedHome home;
  std::string path = Control::socketPath();
  EXPECT_TRUE(Text::contains(path, "velmo-" + Paths::host() + ".sock")) << path;
  EXPECT_FALSE(Control::answered());

  // Shared, not on this stack: a connection's thread may ask after the test has ended.
  auto owner = std::make_shared<std::atomic<bool>>(true);
  std::string why;
  auto listener = Control::Listener::open([owner] { return owner->load(); }, &why);
  ASSERT_TRUE(listener) << why;
  EXPECT_TRUE(Control::answered());
  EXPECT_TRUE(listener->standing());

  auto ping = Control::exchange(path, {{"cmd", "ping"}}, 10);
  ASSERT_TRUE(ping.reply) << ping.failure;
  EXPECT_EQ((*ping.reply)["pid"], ::getpid());

  // A request that comes in after the owner let go is refused, not acted on.
  *owner = false;
  auto refused = Control::exchange(path, {{"cmd", "ping"}}, 10);
  ASSERT_TRUE(refused.reply) << refused.failure;
  EXPECT_EQ((*refused.reply)["ok"], false);
  EXPECT_FALSE(refused.reply->contains("pid"));

  // A second one is not opened over a live one.
  std::string second;
  EXPECT_FALSE(Control::Listener::open([] { return true; }, &second));
  EXPECT_TRUE(Text::contains(second, "already answers")) << second;

  listener.reset();
  EXPECT_FALSE(Control::answered());
  EXPECT_FALSE(Files::exists(path)) << "a dropped socket leaves its file behind";
}

TEST(Listener, KnowsWhenItsFileWasRemovedAndLeavesAnotherOneAlone) {
  ScopedHome home;
  std::string why;
  auto first = Control::Listener::open([] { return true; }, &why);
  ASSERT_TRUE(first) << why;
  std::string path = Control::socketPath();
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_FALSE(first->standing());
  EXPECT_FALSE(Control::answered()) << "nobody can reach a socket without its file";

  auto second = Control::Listener::open([] { return true; }, &why);
  ASSERT_TRUE(second) << why;
  first.reset();
  EXPECT_TRUE(second->standing()) << "the old socket removed the new one's file";
  EXPECT_TRUE(Control::answered());
}

}  // namespace
