// One owner of the terminals among several Velmos on one home, end to end: real Velmos in
// browser mode, the lock file removed under the owner, a newcomer, the owner killed. The
// claim's log is the record: each owner writes "took" before it acts and "gave up" after
// it stopped, so two owners at once would show as a "took" while another still owns.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "e2e/page_bridge.h"
#include "e2e/velmo_run.h"
#include "support/home.h"
#include "support/tmux_lab.h"

namespace {

const std::string kVelmoQ = Text::replaceAll(VELMO_BINARY, "/velmo", "/velmo-q");

struct Velmo {
  explicit Velmo(const std::string& home)
      : run(VELMO_BINARY, {"--serve", "--no-open"},
            {{"HOME", home}, {"VELMO_LANG", "en"}, {"XDG_CONFIG_HOME", ""},
             {"CLAUDE_CONFIG_DIR", ""}},
            true) {
    // Standard error is merged: the address is the first line that is one.
    for (int i = 0; i < 20 && url.empty(); ++i) {
      auto line = run.line(60);
      if (!line) break;
      heard += *line + "\n";
      if (Text::startsWith(*line, "http://")) url = *line;
    }
  }
  /// Whether it said `text`, waiting at most `seconds`.
  bool says(const std::string& text, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!Text::contains(heard, text)) {
      double left = std::chrono::duration<double>(until - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      if (auto line = run.line(left)) heard += *line + "\n";
    }
    return true;
  }
  VelmoRun run;
  std::string url;
  std::string heard;  ///< every line read so far
};

class ClaimAmongVelmos : public ::testing::Test {
 protected:
  std::string home = makeTempDir("velmo-claim");
  std::string state = home + "/.claude/velmo-state/";
  std::string lock = state + "owner-" + Paths::host() + ".lock";
  std::string log = state + "owner-" + Paths::host() + ".log";
  /// Where in the log each killed Velmo was seen dead: from there on it owns nothing.
  std::map<long, size_t> deadFrom;

  void TearDown() override { removeTree(home); }

  /// The pid velmo-q reaches on this home, or 0 when nobody answers.
  long answering() const {
    VelmoRun q(kVelmoQ, {"ping"}, {{"HOME", home}, {"VELMO_LANG", "en"}, {"CLAUDE_CONFIG_DIR", ""}});
    auto reply = nlohmann::json::parse(q.rest(20), nullptr, false);
    q.wait(5);
    return reply.is_object() && reply.value("ok", false) ? reply.value("pid", 0L) : 0L;
  }

  /// Reads the claim's log and checks that no two Velmos ever owned at once; the owner
  /// at its end (0 for none) and how many times the claim changed hands.
  struct Record {
    long owner = 0;
    int took = 0;
    int gaveUp = 0;
    std::vector<std::string> faults;
  };
  Record record() const {
    Record r;
    std::string text = Files::read(log).value_or("");
    static const std::regex shape(R"(^\S+ (took|gave up: .*|cannot take: .*) \S+ (\d+)$)");
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) break;  // a line still being written
      std::string line = text.substr(at, end - at);
      std::smatch m;
      EXPECT_TRUE(std::regex_match(line, m, shape)) << line;
      long pid = m.empty() ? 0 : std::stol(m[2]);
      std::string verb = m.empty() ? "" : m[1].str();
      auto dead = deadFrom.find(r.owner);
      if (dead != deadFrom.end() && at >= dead->second) r.owner = 0;
      if (verb == "took") {
        EXPECT_EQ(r.owner, 0) << pid << " took while " << r.owner << " owned:\n" << text;
        r.owner = pid;
        ++r.took;
      } else if (Text::startsWith(verb, "gave up")) {
        EXPECT_EQ(r.owner, pid) << pid << " gave up what it did not own:\n" << text;
        r.owner = 0;
        ++r.gaveUp;
      } else if (Text::startsWith(verb, "cannot take")) {
        r.faults.push_back(line);
      }
      at = end + 1;
    }
    auto dead = deadFrom.find(r.owner);
    if (dead != deadFrom.end() && text.size() >= dead->second) r.owner = 0;
    return r;
  }

  /// Waits until one Velmo owns by the log and velmo-q reaches that one; its pid.
  long settledOwner(double seconds) {
    long owner = 0;
    waitFor(
        [&] {
          long logged = record().owner;
          owner = logged != 0 && answering() == logged ? logged : 0;
          return owner != 0;
        },
        seconds, 0.2);
    return owner;
  }

  Velmo* byPid(std::vector<std::unique_ptr<Velmo>>& all, long pid) {
    for (auto& v : all)
      if (static_cast<long>(v->run.pid()) == pid) return v.get();
    return nullptr;
  }
};

TEST_F(ClaimAmongVelmos, ARemovedLockFileAndAKilledOwnerLeaveExactlyOneOwner) {
  std::vector<std::unique_ptr<Velmo>> velmos;
  velmos.push_back(std::make_unique<Velmo>(home));
  ASSERT_FALSE(velmos[0]->url.empty());
  long first = settledOwner(30);
  ASSERT_EQ(first, velmos[0]->run.pid());

  velmos.push_back(std::make_unique<Velmo>(home));
  ASSERT_FALSE(velmos[1]->url.empty());
  ASSERT_TRUE(velmos[1]->says("only watches", 30)) << velmos[1]->heard;

  // The viewer's page says who owns and that it answers on the control socket.
  {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(velmos[1]->url, m,
                                  std::regex(R"(^http://127\.0\.0\.1:(\d+)/\?token=(\w+))")));
    Bridge page("ws://127.0.0.1:" + m[1].str() + "/bridge?token=" + m[2].str(),
                "http://127.0.0.1:" + m[1].str());
    ASSERT_TRUE(page.conn);
    nlohmann::json paint;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
      auto call = page.next("paint", 5);
      if (call.is_null()) continue;
      paint = call["args"][0];
      if (paint.is_string()) paint = nlohmann::json::parse(paint.get<std::string>(), nullptr, false);
      if (paint.is_object() && paint.contains("owner") && paint["owner"].value("answers", false))
        break;
    }
    ASSERT_TRUE(paint.is_object());
    EXPECT_EQ(paint.value("viewer", false), true) << paint.dump();
    EXPECT_EQ(paint["owner"].value("pid", 0L), first) << paint["owner"].dump();
    EXPECT_EQ(paint["owner"].value("host", ""), Paths::host());
    EXPECT_EQ(paint["owner"].value("answers", false), true);
  }

  // A tidy-up removes the lock file under the owner; a third Velmo starts.
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  velmos.push_back(std::make_unique<Velmo>(home));
  ASSERT_FALSE(velmos[2]->url.empty());
  // The owner notices at a scan of its own and gives up; someone owns again.
  ASSERT_TRUE(waitFor([&] { return record().gaveUp >= 1; }, 30)) << Files::read(log).value_or("");
  long owner = settledOwner(30);
  ASSERT_NE(owner, 0) << Files::read(log).value_or("");
  EXPECT_TRUE(Files::exists(lock));

  // The owner dies without a word.
  Velmo* victim = byPid(velmos, owner);
  ASSERT_NE(victim, nullptr);
  ::kill(victim->run.pid(), SIGKILL);
  ASSERT_TRUE(victim->run.wait(10));
  deadFrom[owner] = Files::read(log).value_or("").size();
  auto killed = std::chrono::steady_clock::now();

  long next = settledOwner(30);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
  ASSERT_NE(next, 0) << Files::read(log).value_or("");
  EXPECT_NE(next, owner);
  // Scans come every 1.5 s; a few of them, with room for a busy machine.
  EXPECT_LT(took, 20.0) << "the new owner answered velmo-q only after " << took << " s";

  Record r = record();
  EXPECT_EQ(r.owner, next);
  EXPECT_TRUE(r.faults.empty()) << Text::join(r.faults, "\n");
  EXPECT_GE(r.took, 3);
  for (auto& v : velmos) v->run.stop();
  record();  // still one at a time while they quit
}

}  // namespace
