#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include "base/files.h"
#include "base/hash.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/process.h"
#include "base/queue.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "base/version.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"

TEST(Process, ExitStatusZeroGivesOutputAndFailureGivesNothing) {
  EXPECT_EQ(Terminals::shell("/bin/echo", {"a b", "c"}), "a b c\n");
  EXPECT_FALSE(Terminals::shell("/bin/false", {}).has_value());
  EXPECT_FALSE(Terminals::shell("/no/such/program", {}).has_value());
  // Arguments are never read by a shell.
  EXPECT_EQ(Terminals::shell("/bin/echo", {"$(id)"}), "$(id)\n");
}

TEST(Process, ChildWritingMuchDoesNotDeadlock) {
  auto out = Terminals::shell("/bin/sh", {"-c", "head -c 5000000 /dev/zero | tr '\\0' x"}, 20);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->size(), 5000000u);
}

TEST(Process, TimeLimitKillsAndGivesNothing) {
  double start = Clock::monotonic();
  EXPECT_FALSE(Terminals::shell("/bin/sleep", {"10"}, 0.3).has_value());
  EXPECT_LT(Clock::monotonic() - start, 5.0);
}

// Another thread's stop ends a program that would run on, with all it started, and a
// stopped stop starts nothing; a stop never used leaves a program to finish by itself.
TEST(Process, AStopFromAnotherThreadKillsTheProgramAndItsChildren) {
  Terminals::Stop stop;
  Terminals::Job job;
  job.path = "/bin/sh";
  job.args = {"-c", "sleep 300 & echo $!; wait"};
  job.stop = &stop;
  // Once the shell has started its own child (a sleep whose parent's parent is us).
  auto grandchild = [] {
    for (const auto& e : Files::list("/proc").value_or(std::vector<Files::Entry>{})) {
      long long pid = 0;
      if (!Text::parseInt(e.name, pid)) continue;
      auto state = Terminals::processState(pid);
      if (!state || Text::trim(Files::read("/proc/" + e.name + "/comm").value_or("")) != "sleep")
        continue;
      auto parent = Terminals::processState(state->parent);
      if (parent && parent->parent == ::getpid()) return pid;
    }
    return 0LL;
  };
  std::thread stopper([&] {
    for (int i = 0; i < 6000 && !grandchild(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop.stop();
  });
  double start = Clock::monotonic();
  auto outcome = Terminals::run(job);
  stopper.join();
  EXPECT_LT(Clock::monotonic() - start, 60.0);
  EXPECT_TRUE(outcome.stopped);
  EXPECT_FALSE(outcome.finished);
  EXPECT_FALSE(outcome.timedOut);
  long long child = 0;
  if (Text::parseInt(Text::trim(outcome.output), child) && child > 0) {
    for (int i = 0; i < 3000 && Terminals::running(child); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(Terminals::running(child)) << "the shell's own child outlived the stop";
  }

  auto again = Terminals::run(job);
  EXPECT_TRUE(again.stopped);
  EXPECT_TRUE(again.launchError.empty());

  Terminals::Stop unused;
  job.args = {"-c", "echo done"};
  job.stop = &unused;
  auto finished = Terminals::run(job);
  EXPECT_TRUE(finished.finished);
  EXPECT_FALSE(finished.stopped);
  EXPECT_EQ(finished.output, "done\n");
}

// An ended child not yet waited for still takes signal 0, yet it no longer runs.
TEST(Process, AZombieHasEndedAndTheParentIsRead) {
  auto self = Terminals::processState(::getpid());
  ASSERT_TRUE(self);
  EXPECT_EQ(self->parent, ::getppid());
  EXPECT_TRUE(Terminals::running(::getpid()));

  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  std::optional<Terminals::ProcessState> state;
  // A loaded machine may take seconds to run the child to its end.
  for (int i = 0; i < 3000 && !(state && state->state == 'Z'); ++i) {
    ::usleep(10000);
    state = Terminals::processState(child);
  }
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state, 'Z');
  EXPECT_EQ(state->parent, ::getpid());
  EXPECT_FALSE(Terminals::running(child));
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(Terminals::processState(child));
  EXPECT_FALSE(Terminals::running(child));
  EXPECT_FALSE(Terminals::running(0));
}

TEST(Process, InputReachesTheChild) {
  std::string big(300000, 'y');
  auto out = Terminals::shellWithInput("/bin/cat", {}, big, 10);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, big);
}

TEST(Process, InvalidUtf8IsReplaced) {
  auto out = Terminals::shell("/usr/bin/printf", {"a\\377b"});
  EXPECT_EQ(out,
            "a\xEF\xBF\xBD"
            "b");
}

TEST(Files, TailReadsTheLastBytesAndSaysWhetherItCut) {
  ScopedHome home;
  std::string path = home.write("t.txt", "0123456789");
  auto whole = Files::readTail(path, 100);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->bytes, "0123456789");
  EXPECT_FALSE(whole->cut);
  auto tail = Files::readTail(path, 4);
  EXPECT_EQ(tail->bytes, "6789");
  EXPECT_TRUE(tail->cut);
  EXPECT_EQ(tail->fileSize, 10);
  EXPECT_FALSE(Files::readTail(home.path() + "/missing", 4));
}

TEST(Files, AtomicWriteReplacesWholeAndKeepsMode) {
  ScopedHome home;
  std::string path = home.path() + "/store.json";
  ASSERT_TRUE(Files::writeAtomic(path, "first", 0600));
  ASSERT_TRUE(Files::writeAtomic(path, "second", 0600));
  EXPECT_EQ(Files::read(path), "second");
  struct stat st {};
  ::stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto entries = Files::list(home.path());
  ASSERT_TRUE(entries);
  for (const auto& e : *entries) EXPECT_EQ(e.name.find(".tmp-"), std::string::npos);
  EXPECT_FALSE(Files::writeAtomic(home.path() + "/no/such/folder/x", "x"));
}

TEST(Files, AtomicWriteSweepsWhatAKilledWriterLeftAndNothingElse) {
  ScopedHome home;
  std::string path = home.path() + "/store.json";
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  std::string dead = path + ".tmp-" + std::to_string(child) + "-3";
  std::string live = path + ".tmp-" + std::to_string(::getppid()) + "-0";
  std::string other = home.path() + "/other.json.tmp-" + std::to_string(child) + "-0";
  std::string odd = path + ".tmp-notapid";
  for (const auto& f : {dead, live, other, odd}) ASSERT_TRUE(Files::writeAtomic(f, "half"));
  ASSERT_TRUE(Files::writeAtomic(path, "whole"));
  EXPECT_FALSE(Files::exists(dead));
  EXPECT_TRUE(Files::exists(live));
  EXPECT_TRUE(Files::exists(other));
  EXPECT_TRUE(Files::exists(odd));
  EXPECT_EQ(Files::read(path), "whole");
}

TEST(Settings, BooleanReadsTrueUnlessFalseIsStoredAndSurvivesReload) {
  ScopedHome home;
  EXPECT_TRUE(Settings::flag("notifyOn"));
  ASSERT_TRUE(Settings::set("notifyOn", false));
  ASSERT_TRUE(Settings::set("openSID", "abc"));
  Settings::reload();
  EXPECT_FALSE(Settings::flag("notifyOn"));
  EXPECT_EQ(Settings::text("openSID"), "abc");
  EXPECT_TRUE(Files::exists(home.path() + "/.config/velmo/settings.json"));
}

TEST(Settings, MalformedFileCountsAsEmpty) {
  ScopedHome home;
  home.write(".config/velmo/settings.json", "{not json");
  Settings::reload();
  EXPECT_EQ(Settings::text("openSID", "none"), "none");
  EXPECT_TRUE(Settings::set("openSID", "x"));
  Settings::reload();
  EXPECT_EQ(Settings::text("openSID"), "x");
}

TEST(Lang, OverrideThenSettingThenSystem) {
  EXPECT_EQ(Lang::resolve("he", "en", "en_US.UTF-8"), "he");
  EXPECT_EQ(Lang::resolve("", "he", "en_US"), "he");
  EXPECT_EQ(Lang::resolve("", "", "he_IL.UTF-8"), "he");
  EXPECT_EQ(Lang::resolve("", "", "iw_IL"), "he");
  EXPECT_EQ(Lang::resolve("", "", "fr_FR"), "en");
  EXPECT_EQ(Lang::resolve("en", "he", ""), "en");
}

TEST(Lang, OverrideAndSettingCountOnlyAsExactlyHeOrEn) {
  EXPECT_EQ(Lang::resolve("fr", "he", "en_US"), "he");
  EXPECT_EQ(Lang::resolve("he_IL", "en", "he_IL"), "en");
  EXPECT_EQ(Lang::resolve("", "HE", "he_IL"), "he");  // from the system, not the setting
  EXPECT_EQ(Lang::resolve("", "hebrew", "fr_FR"), "en");
  EXPECT_EQ(Lang::resolve("iw", "", "en_US"), "en");
}

TEST(Lang, UnknownOverrideFallsThroughToTheStoredLanguage) {
  ScopedHome home;
  ASSERT_TRUE(Settings::set("velmo.lang", "he"));
  ScopedLanguage french("fr");
  EXPECT_EQ(Lang::code(), "he");
}

TEST(Lang, SystemPreferredTakesTheFirstOfLanguageList) {
  ::setenv("LANGUAGE", "he:en", 1);
  EXPECT_EQ(Lang::systemPreferred(), "he");
  ::unsetenv("LANGUAGE");
}

TEST(TimeText, ParsesWithAndWithoutFractionAndOffsets) {
  auto t = TimeText::parseIso("2026-01-02T03:04:05.250Z");
  ASSERT_TRUE(t);
  EXPECT_DOUBLE_EQ(*t, 1767323045.25);
  EXPECT_DOUBLE_EQ(*TimeText::parseIso("2026-01-02T03:04:05Z"), 1767323045.0);
  EXPECT_DOUBLE_EQ(*TimeText::parseIso("2026-01-02T05:04:05+02:00"), 1767323045.0);
  EXPECT_FALSE(TimeText::parseIso("2026-01-02 03:04:05Z"));
  EXPECT_FALSE(TimeText::parseIso("yesterday"));
  EXPECT_EQ(TimeText::iso8601(1767323045.25), "2026-01-02T03:04:05.250Z");
}

TEST(Text, Utf8PrefixesAndSuffixesCountCharacters) {
  EXPECT_EQ(Text::prefix("שלום עולם", 4), "שלום");
  EXPECT_EQ(Text::suffix("שלום עולם", 4), "עולם");
  EXPECT_EQ(Text::length("אב c"), 4u);
  EXPECT_EQ(Text::abbreviateHome("/home/u/x", "/home/u"), "~/x");
  EXPECT_EQ(Text::abbreviateHome("/home/user2/x", "/home/u"), "/home/user2/x");
}

TEST(Log, LinesCarryATimeStampAndAreOwnerOnly) {
  ScopedHome home;
  FakeClock clock(1767323045.0);
  std::string file = home.path() + "/x.log";
  Log::line(file, "hello");
  EXPECT_EQ(Files::read(file), "2026-01-02T03:04:05.000Z hello\n");
  struct stat st {};
  ::stat(file.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Queues, SerialRunsInOrderAndPoolRunsAll) {
  SerialQueue q("test.serial");
  std::string seen;
  for (char c : std::string("abcdef")) q.async([&seen, c] { seen += c; });
  q.drain();
  EXPECT_EQ(seen, "abcdef");
  Pool pool("test.pool", 3);
  std::atomic<int> n{0};
  for (int i = 0; i < 100; ++i) pool.async([&n] { ++n; });
  pool.drain();
  EXPECT_EQ(n.load(), 100);
}

// Stored ids and question ids are FNV-1a values: a changed constant would orphan them.
TEST(Hash, FnvGivesThePublishedValuesInBothWidths) {
  EXPECT_EQ(Hash::fnv1a(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(Hash::fnv1a("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(Hash::fnv1a("foobar"), 0x85944171f73967e8ull);
  EXPECT_EQ(Hash::fnv1a<uint32_t>(""), 0x811c9dc5u);
  EXPECT_EQ(Hash::fnv1a<uint32_t>("a"), 0xe40c292cu);
  EXPECT_EQ(Hash::fnv1a<uint32_t>("foobar"), 0xbf9cf968u);
  // Bytes above 0x7f count as themselves, not as negative chars.
  EXPECT_NE(Hash::fnv1a("\xff"), Hash::fnv1a("\x7f"));
  static_assert(Hash::fnv1a<uint32_t>("a") == 0xe40c292cu);
}

TEST(Paths, AgentFolderFollowsConfigDirAndHome) {
  ScopedHome home;
  EXPECT_EQ(Paths::agentDir(), home.path() + "/.claude");
  ::setenv("CLAUDE_CONFIG_DIR", "/elsewhere/.claude", 1);
  EXPECT_EQ(Paths::agentDir(), "/elsewhere/.claude");
  ::unsetenv("CLAUDE_CONFIG_DIR");
  EXPECT_EQ(Paths::documents(), home.path() + "/Documents/claude");
}

TEST(Version, TheBuildGivesThreeNumbersAndTheProgramsNameGoesFirst) {
  EXPECT_TRUE(std::regex_match(std::string(Version::number()), std::regex(R"(\d+\.\d+\.\d+)")))
      << Version::number();
  EXPECT_EQ(Version::line("velmo-q"), std::string("velmo-q ") + Version::number());
}
