#include "terminals/discover.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "app/list_command.h"
#include "base/caches.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "terminals/host.h"

namespace {

using Titles = std::map<std::string, std::string>;

// A host that only answers titles, and counts how often it was asked.
class TitleHost final : public Terminals::TerminalHost {
 public:
  std::optional<Titles> answer;
  int asked = 0;

  std::optional<Titles> titles() override {
    ++asked;
    return answer;
  }
  std::optional<std::vector<Terminals::Screen>> screens() override { return std::nullopt; }
  std::optional<std::string> screen(const std::string&) override { return std::nullopt; }
  bool typeLine(const std::string&, const std::string&) override { return false; }
  bool pasteLine(const std::string&, const std::string&) override { return false; }
  bool typeKeys(const std::string&, int, const std::string&) override { return false; }
  bool setTitle(const std::string&, const std::string&) override { return false; }
  bool raise(const std::string&) override { return false; }
  bool open(const std::string&, const Terminals::Launch&) override { return false; }
  void close(const std::string&) override {}
  bool closeSingle(const std::string&) override { return false; }
};

// A temporary home, a fake clock, a title host and a scripted ps, all undone at the end.
struct Rig {
  ScopedHome home;
  FakeClock clock;
  std::shared_ptr<TitleHost> host = std::make_shared<TitleHost>();
  std::optional<std::string> ps;
  std::atomic<int> psRuns{0};

  Rig() {
    host->answer = Titles{};
    Terminals::installHost(host);
    Terminals::installPsRunner([this] {
      ++psRuns;
      return ps;
    });
  }
  ~Rig() {
    Terminals::installPsRunner(nullptr);
    Terminals::installHost(nullptr);
    Terminals::setOnScan(nullptr);
    Caches::emptyAll();
  }
};

Terminals::RegistryRecord record(const std::string& id, const std::string& status = "",
                                 const std::string& job = "") {
  Terminals::RegistryRecord r;
  r.id = id;
  r.status = status;
  r.waiting = status == "waiting";
  r.job = job;
  return r;
}

// The real user id as ps prints it, for listings that go through discovery itself.
std::string me() {
  return std::to_string(::getuid());
}

constexpr int64_t kUser = 1000;

std::vector<std::string> slots(const std::vector<Terminal>& list) {
  std::vector<std::string> out;
  for (const auto& t : list) out.push_back(t.slot);
  return out;
}

}  // namespace

TEST(Discovery, KeepsAgentsOnTerminalsFromPaddedPsLines) {
  const std::string ps =
      "    1     0 ?               10:00 /sbin/init\n"
      "  101  1000 pts/3       01:02:03 /home/u/.local/bin/claude --resume\n"
      "  102  1000 ?              00:10 claude\n"                // no terminal
      "  103  1000 pts/12         05:07 node /usr/lib/cli.js\n"  // not the agent, but registered
      "  104  1000 pts/4          00:01 /home/u/.local/share/claude/versions/2.1.337 --x\n"
      "  105  1000 pts/5          00:01 vim claude\n"  // the word claude as an argument
      "  106  1000 tty1           00:01 claude\n"      // the console
      "  abc  1000 pts/6          00:01 claude\n"      // no pid
      "  107  1000 pts/7          00:01 bash\n"
      "  108  1000 ttys009        00:01 claude\n"  // as macOS prints it
      "  109  1000 pts/8          00:01 claude\n";
  std::map<int64_t, Terminals::RegistryRecord> registry{
      {102, record("s-102")}, {103, record("s-103", "waiting")}, {101, record("s-101", "idle")}};
  Titles ttySessions{{"/dev/pts/8", "s-109"}, {"/dev/pts/3", "from-tty-file"}};
  Titles titles{{"/dev/pts/3", "Fix login"}};

  auto list = Terminals::parseProcesses(ps, kUser, registry, ttySessions, titles);

  ASSERT_EQ(slots(list), (std::vector<std::string>{"003", "004", "008", "009", "012"}));
  const Terminal& a = list[0];
  EXPECT_EQ(a.pid, 101);
  EXPECT_EQ(a.tty, "/dev/pts/3");
  EXPECT_DOUBLE_EQ(a.uptime, 3723);
  EXPECT_EQ(a.sessionID, "s-101");  // the registry wins over the tty file
  EXPECT_EQ(a.windowTitle, "Fix login");
  EXPECT_EQ(a.waiting, false);
  EXPECT_EQ(a.status, "idle");

  EXPECT_EQ(list[1].pid, 104);
  EXPECT_EQ(list[1].sessionID, "");
  EXPECT_FALSE(list[1].waiting.has_value());

  EXPECT_EQ(list[2].pid, 109);
  EXPECT_EQ(list[2].sessionID, "s-109");  // no record: the tty file tells
  EXPECT_FALSE(list[2].waiting.has_value());

  EXPECT_EQ(list[3].tty, "/dev/ttys009");

  EXPECT_EQ(list[4].pid, 103);
  EXPECT_EQ(list[4].waiting, true);
  EXPECT_DOUBLE_EQ(list[4].uptime, 307);
}

TEST(Discovery, AttachingTerminalShowsTheBackgroundSession) {
  const std::string ps =
      "  200 1000 pts/8    00:05 claude attach job-1\n"
      "  201 1000 pts/20   00:09 /opt/claude --bg fix\n"
      "  202 1000 pts/21   00:09 /opt/claude --bg other\n"
      "  203 1000 pts/9    00:05 claude attach\n";  // "attach" last: an ordinary agent
  std::map<int64_t, Terminals::RegistryRecord> registry{{201, record("bg-1", "busy", "job-1")},
                                                        {202, record("bg-2", "busy", "job-2")}};
  Titles titles{{"/dev/pts/8", "Shown here"}, {"/dev/pts/20", "daemon pty"}};

  auto list = Terminals::parseProcesses(ps, kUser, registry, {}, titles);

  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].pid, 201);
  EXPECT_EQ(list[0].tty, "/dev/pts/8");
  EXPECT_EQ(list[0].slot, "008");
  EXPECT_EQ(list[0].windowTitle, "Shown here");
  EXPECT_EQ(list[0].jobId, "job-1");
  EXPECT_FALSE(list[0].windowless);
  EXPECT_EQ(list[1].pid, 203);
  EXPECT_EQ(list[2].pid, 202);
  EXPECT_EQ(list[2].tty, "/dev/pts/21");
  EXPECT_TRUE(list[2].windowless);
}

TEST(Discovery, SortsByTerminalNumberAndKeepsPsOrderForEqualSlots) {
  const std::string ps =
      "  1 1000 pts/10 00:01 claude\n"
      "  2 1000 pts/2 00:01 claude\n"
      "  3 1000 pts/1000 00:01 claude\n"
      "  4 1000 pts/3 00:01 claude\n"
      "  5 1000 pts/999 00:01 claude\n"
      "  6 1000 pts/3 00:01 claude\n";
  auto list = Terminals::parseProcesses(ps, kUser, {}, {}, {});
  EXPECT_EQ(slots(list), (std::vector<std::string>{"002", "003", "003", "010", "999", "1000"}));
  EXPECT_EQ(list[1].pid, 4);
  EXPECT_EQ(list[2].pid, 6);
}

TEST(Discovery, TheModelAnAgentWasStartedWithIsKept) {
  const std::string ps =
      "  1 1000 pts/1 00:01 claude --resume abc --model sonnet[1m]\n"
      "  2 1000 pts/2 00:01 /opt/claude --model=claude-opus-4-6[1m] -c\n"
      "  3 1000 pts/3 00:01 claude --model\n"
      "  4 1000 pts/4 00:01 claude\n";
  auto list = Terminals::parseProcesses(ps, kUser, {}, {}, {});
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].modelArg, "sonnet[1m]");
  EXPECT_EQ(list[1].modelArg, "claude-opus-4-6[1m]");
  EXPECT_EQ(list[2].modelArg, "");
  EXPECT_EQ(list[3].modelArg, "");
}

TEST(Discovery, OnlyTheUsersOwnProcessesAreTerminals) {
  // On a shared machine ps lists everyone's agents; pid 302 even has a registry record here
  // (pids are reused), and 303 attaches to this user's background job.
  const std::string ps =
      "  301 1000 pts/3 00:05 claude\n"
      "  302 1001 pts/4 00:05 claude\n"
      "  303 1001 pts/5 00:05 claude attach job-1\n"
      "  304 1000 pts/6 00:09 /opt/claude --bg fix\n"
      "  305    0 pts/7 00:05 /root/.local/bin/claude\n"
      "  306    x pts/8 00:05 claude\n"  // no readable uid
      "  307 pts/9 00:05 claude\n";      // a listing without the uid column
  std::map<int64_t, Terminals::RegistryRecord> registry{{302, record("theirs")},
                                                        {304, record("bg", "busy", "job-1")}};

  auto list = Terminals::parseProcesses(ps, kUser, registry, {}, {});

  ASSERT_EQ(slots(list), (std::vector<std::string>{"003", "006"}));
  EXPECT_EQ(list[0].pid, 301);
  EXPECT_EQ(list[1].pid, 304);
  EXPECT_TRUE(list[1].windowless);  // another user's terminal does not show this job
}

TEST(Discovery, ElapsedTimes) {
  EXPECT_DOUBLE_EQ(Terminals::seconds("05:07"), 307);
  EXPECT_DOUBLE_EQ(Terminals::seconds("01:02:03"), 3723);
  EXPECT_DOUBLE_EQ(Terminals::seconds("2-00:00:09"), 2 * 86400 + 9);
  EXPECT_DOUBLE_EQ(Terminals::seconds("x-01:xx:05"), 3605);  // unreadable pieces count 0
  EXPECT_DOUBLE_EQ(Terminals::seconds(""), 0);
}

TEST(Discovery, CleansWindowTitles) {
  EXPECT_EQ(Terminals::clean("✳ Fix login — claude — 80×24"), "Fix login");
  EXPECT_EQ(Terminals::clean("user — notes — caffeinate ◂ claude"), "notes");
  EXPECT_EQ(Terminals::clean("user - build ◂ claude"), "build");
  EXPECT_EQ(Terminals::clean("⠂⠐* · Refactor — 120×40 "), "Refactor");
  EXPECT_EQ(Terminals::clean("build 80×24 done"), "build 80×24 done");
}

TEST(Discovery, TerminalNamesAndSlots) {
  EXPECT_EQ(Terminals::ttyFromPs("pts/7"), "/dev/pts/7");
  EXPECT_EQ(Terminals::ttyFromPs("ttys003"), "/dev/ttys003");
  EXPECT_EQ(Terminals::ttyFromPs("?"), "");
  EXPECT_EQ(Terminals::ttyFromPs("pts/"), "");
  EXPECT_EQ(Terminals::slotOf("/dev/pts/7"), "007");
  EXPECT_EQ(Terminals::slotOf("/dev/pts/123"), "123");
  EXPECT_EQ(Terminals::slotOf("/dev/ttys003"), "003");
}

TEST(Registry, FilesByPidOrNameAndSkipsWhatCannotBeUsed) {
  ScopedHome home;
  home.write(".claude/sessions/11.json",
             R"({"pid":3410,"sessionId":"a","status":"waiting","name":"ccwork-34"})");
  home.write(".claude/sessions/3625.json", R"({"sessionId":"b","kind":"bg","jobId":"j7"})");
  home.write(".claude/sessions/notes.json", R"({"sessionId":"c","jobId":"j8"})");
  home.write(".claude/sessions/77.json", R"({"pid":77,"sessionId":""})");
  home.write(".claude/sessions/78.json", R"({"pid":78,"sessionId":)");
  home.write(".claude/sessions/79.txt", R"({"pid":79,"sessionId":"d"})");
  home.write(".claude/sessions/80.json", R"(["not an object"])");

  auto registry = Terminals::pidToSession();

  ASSERT_EQ(registry.size(), 3u);
  EXPECT_EQ(registry[3410].id, "a");
  EXPECT_TRUE(registry[3410].waiting);
  EXPECT_EQ(registry[3410].status, "waiting");
  EXPECT_EQ(registry[3410].name, "ccwork-34");
  EXPECT_EQ(registry[3625].id, "b");
  EXPECT_EQ(registry[3625].job, "j7");
  EXPECT_FALSE(registry[3625].waiting);
  EXPECT_EQ(registry[-1].id, "c");
  EXPECT_EQ(registry[-1].job, "");  // a job id counts only for kind "bg"
}

TEST(Registry, EmptySessionIdFallsBackToTheTtyFile) {
  Rig rig;
  rig.home.write(".claude/sessions/77.json", R"({"pid":77,"sessionId":"","status":"waiting"})");
  rig.home.write(".claude/ttys/from-tty", "/dev/pts/4\n");
  rig.ps = "77 " + me() + " pts/4 00:01 claude\n";

  auto list = Terminals::discover();

  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].sessionID, "from-tty");
  EXPECT_FALSE(list[0].waiting.has_value());
}

TEST(TtyFiles, TheNewerFileDecidesAndOthersAreSkipped) {
  ScopedHome home;
  setModified(home.write(".claude/ttys/new", "  /dev/pts/3\n"), 2000);
  setModified(home.write(".claude/ttys/old", "/dev/pts/3"), 1000);
  setModified(home.write(".claude/ttys/older", "/dev/pts/3"), 500);
  home.write(".claude/ttys/junk", "pts/5");
  home.write(".claude/ttys/solo", "/dev/pts/6\n");

  auto ttys = Terminals::ttyToSession();

  EXPECT_EQ(ttys, (Titles{{"/dev/pts/3", "new"}, {"/dev/pts/6", "solo"}}));
}

TEST(Open, ServesTheListForTwoAndAHalfSecondsWithoutRunningPs) {
  Rig rig;
  int scans = 0;
  Terminals::setOnScan([&] { ++scans; });
  rig.ps = "5 " + me() + " pts/1 00:01 claude\n";

  EXPECT_EQ(Terminals::open().size(), 1u);
  rig.clock.advance(2.4);
  EXPECT_EQ(Terminals::open().size(), 1u);
  EXPECT_EQ(rig.psRuns, 1);
  EXPECT_EQ(scans, 1);

  rig.clock.advance(0.2);
  Terminals::open();
  EXPECT_EQ(rig.psRuns, 2);

  // A clock set back does not freeze the list.
  rig.clock.advance(-3600);
  Terminals::open();
  EXPECT_EQ(rig.psRuns, 3);
  EXPECT_EQ(scans, 3);
}

TEST(Open, NeverServesAnEmptyListAndSkipsTheHookWhenPsFails) {
  Rig rig;
  int scans = 0;
  Terminals::setOnScan([&] { ++scans; });
  rig.ps = "1 0 ? 00:01 /sbin/init\n";
  EXPECT_TRUE(Terminals::open().empty());
  EXPECT_TRUE(Terminals::open().empty());
  EXPECT_EQ(rig.psRuns, 2);
  EXPECT_EQ(scans, 2);

  rig.ps = std::nullopt;
  EXPECT_TRUE(Terminals::open().empty());
  EXPECT_EQ(scans, 2);
}

TEST(WindowTitles, AskedAtMostEveryTenSecondsAndAFailureKeepsTheOldTitles) {
  Rig rig;
  rig.host->answer = Titles{{"/dev/pts/1", "✳ Fix login — claude"}};
  EXPECT_EQ(Terminals::windowTitles(), (Titles{{"/dev/pts/1", "Fix login"}}));

  rig.host->answer = std::nullopt;
  rig.clock.advance(9.9);
  Terminals::windowTitles();
  EXPECT_EQ(rig.host->asked, 1);

  rig.clock.advance(0.2);
  EXPECT_EQ(Terminals::windowTitles(), (Titles{{"/dev/pts/1", "Fix login"}}));
  EXPECT_EQ(rig.host->asked, 2);
  // The failed ask counts: the host is not asked again within ten seconds.
  Terminals::windowTitles();
  EXPECT_EQ(rig.host->asked, 2);
}

TEST(ListCommand, PrintsEveryTerminalFieldAndNullsForWhatIsUnknown) {
  Rig rig;
  rig.home.write(".claude/sessions/41.json",
                 R"({"pid":41,"sessionId":"s41","status":"waiting","name":"web"})");
  rig.host->answer = Titles{{"/dev/pts/2", "Web"}};
  rig.ps = "42 " + me() + " pts/3 00:02 claude\n41 " + me() + " pts/2 1-00:00:00 claude\n";

  auto json = listTerminals();

  const auto& list = json.at("terminals");
  ASSERT_EQ(list.size(), 2u);
  const auto& first = list[0];
  EXPECT_EQ(first.at("tty"), "/dev/pts/2");
  EXPECT_EQ(first.at("slot"), "002");
  EXPECT_EQ(first.at("pid"), 41);
  EXPECT_EQ(first.at("uptime"), 86400.0);
  EXPECT_EQ(first.at("sessionID"), "s41");
  EXPECT_EQ(first.at("windowTitle"), "Web");
  EXPECT_EQ(first.at("waiting"), true);
  EXPECT_EQ(first.at("jobId"), "");
  EXPECT_EQ(first.at("windowless"), false);
  EXPECT_EQ(first.at("status"), "waiting");
  EXPECT_EQ(first.at("recordName"), "web");
  EXPECT_TRUE(first.contains("state"));
  EXPECT_TRUE(list[1].at("waiting").is_null());
  EXPECT_TRUE(list[1].at("state").is_null());  // no session id, no state
}
