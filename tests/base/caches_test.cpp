// Everything a module remembers between calls is emptied by the one reset, so no test
// starts with what an earlier one left behind.

#include "base/caches.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>

#include "base/file_memo.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/settings.h"
#include "control/control.h"
#include "feed/state_feed.h"
#include "library/commands.h"
#include "library/outputs.h"
#include "library/works.h"
#include "search/titles.h"
#include "relay/idle_close.h"
#include "relay/relay.h"
#include "sessions/questions_read.h"
#include "sessions/state.h"
#include "sessions/subagents.h"
#include "sessions/transcript.h"
#include "spend/account.h"
#include "support/terminal_rig.h"
#include "support/transcripts.h"
#include "terminals/answer.h"
#include "terminals/discover.h"
#include "terminals/names.h"
#include "terminals/picker.h"

namespace {

constexpr const char* kSid = "c6d3753b-3e5b-413d-a41c-3796870a5b9a";  // in the fixture home
const std::string kTty = "/dev/pts/3";

std::map<std::string, size_t> held() {
  std::map<std::string, size_t> out;
  for (const auto& h : Caches::holdings()) out[h.name] += h.held;
  return out;
}

// The feed's delayed pass, run at once on its queue.
void feedPass() {
  std::deque<Job> due;
  StateFeed::installAfter([&due](double, Job job) { due.push_back(std::move(job)); });
  StateFeed::poke();
  StateFeed::drain();
  while (!due.empty()) {
    StateFeed::onQueue(std::move(due.front()));
    due.pop_front();
    StateFeed::drain();
  }
  StateFeed::installAfter(nullptr);
}

}  // namespace

TEST(Caches, TheOneResetEmptiesEveryModulesCache) {
  TerminalRig rig;
  copyFixtureAgentHome(rig.home);
  rig.agent(300, 3, kSid);
  const std::string fifo = rig.home.path() + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  // Fill each cache through the module's own door.
  Paths::home();
  Paths::documents();
  Lang::hebrew();
  Settings::text("tmuxSocket");
  Files::read(fifo);  // refused, and remembered so it is said once
  Commands::all();
  Sessions::transcriptURL(kSid);
  Sessions::state(kSid);
  Questions::pending(kSid);
  Transcript::read(kSid, 24);
  Terminals::open();
  Terminals::windowTitles();
  rig.host.show(kTty, Screens::permission());
  Terminals::pickers(true);
  rig.host.onType(
      [](ScriptedHost& h, const ScriptedHost::Call&) { h.show(kTty, Screens::idle()); });
  ASSERT_TRUE(Terminals::choose("1", kTty, [](const Terminals::Picker& p) {
    return p.question == "Do you want to proceed?";
  }));
  Control::mint(kTty, "q1", "Yes");
  Control::markTyped(kSid);
  feedPass();
  Spend::refresh(true);
  rig.home.write("Documents/claude/note.md", "x");
  Works::everything();
  Outputs::of(kSid);
  rig.home.write(".claude/sub/agent-x.jsonl", "{}\n");
  rig.home.write(".claude/sub/agent-x.meta.json", "{}");
  Agents::metadata(rig.home.path() + "/.claude/sub/agent-x.jsonl");
  Titles::of(kSid);  // searched, so remembered
  Names::set("Front", kSid);
  Names::name(kSid);  // read back, so kept
  Relay::Record asked;
  asked.stage = "asked";
  Relay::save({{kSid, asked}});
  Relay::all();
  IdleClose::sweep({}, {});  // remembers when it ran
  FileMemo<int> local("a memo of this test", 4);
  local.keep("x", 1, 2, 3);

  std::map<std::string, size_t> before = held();
  for (const char* name : {"home folders",
                           "language",
                           "settings",
                           "refused files",
                           "commands",
                           "located transcripts",
                           "session states",
                           "questions",
                           "questions traced",
                           "transcript readings",
                           "learned transcript tails",
                           "discovered terminals",
                           "screens",
                           "answering marks",
                           "answer grants",
                           "typed sessions",
                           "state feed",
                           "spend account",
                           "work files",
                           "session outputs",
                           "sub-agent meta files",
                           "names",
                           "titles",
                           "relay store",
                           "idle sweep",
                           "a memo of this test"})
    EXPECT_GT(before[name], 0u) << name << " was never filled, so the reset is not tested for it";
  for (const auto& [name, count] : before) EXPECT_GT(count, 0u) << name << " has no filling here";

  Caches::emptyAll();
  for (const auto& [name, count] : held()) EXPECT_EQ(count, 0u) << name;
}

TEST(Caches, AFileMemoKeepsAValueWhileTheFileKeepsItsSizeAndTime) {
  FileMemo<std::string> memo("a memo of this test", 2);
  memo.keep("/a", 10, 100.0, "first");
  EXPECT_EQ(memo.find("/a", 10, 100.0), "first");
  EXPECT_FALSE(memo.find("/a", 11, 100.0)) << "a grown file is read again";
  EXPECT_FALSE(memo.find("/a", 10, 101.0)) << "a touched file is read again";
  EXPECT_FALSE(memo.find("/b", 10, 100.0));

  memo.keep("/a", 11, 100.0, "second");  // the same key replaces, and does not fill it
  memo.keep("/b", 1, 1.0, "b");
  EXPECT_EQ(memo.size(), 2u);
  memo.keep("/c", 1, 1.0, "c");  // full: starts over with the new one
  EXPECT_EQ(memo.size(), 1u);
  EXPECT_EQ(memo.find("/c", 1, 1.0), "c");
}

TEST(Caches, AMemoThatIsGoneIsNoLongerEmptied) {
  size_t enrolled = Caches::holdings().size();
  {
    FileMemo<int> passing("a passing memo", 2);
    EXPECT_EQ(Caches::holdings().size(), enrolled + 1);
  }
  EXPECT_EQ(Caches::holdings().size(), enrolled);
  Caches::emptyAll();
}
