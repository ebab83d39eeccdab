// The agent's folders may hold things that are not files under the names Velmo reads: a
// FIFO would make a reader wait for good, a link to /dev/zero would make it read until the
// memory runs out. Beside them, `velmo --list` must still come back, small, with the real
// agent in it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/files.h"
#include "base/text.h"
#include "e2e/velmo_run.h"
#include "sessions/state.h"
#include "support/agent_lab.h"
#include "support/home.h"
#include "support/tmux_lab.h"

namespace {

// A FIFO and a link to /dev/zero named `fifo` and `zero` in `folder`.
void plantBoth(const std::string& folder, const std::string& fifo, const std::string& zero) {
  ASSERT_TRUE(Files::makeDirectories(folder));
  ASSERT_EQ(::mkfifo((folder + "/" + fifo).c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (folder + "/" + zero).c_str()), 0);
}

const nlohmann::json* entryOf(const nlohmann::json& list, int64_t pid) {
  for (const auto& t : list.at("terminals"))
    if (t.at("pid") == pid) return &t;
  return nullptr;
}

}  // namespace

TEST(NonRegularFilesWithAgent, ListComesBackSmallBesideFifosAndLinksToDevZero) {
  if (AgentLab::agentBinary().empty())
    GTEST_SKIP() << "the agent could not be installed (npm and its registry are needed)";
  ScopedHome home;
  PrivateTmux tmux;
  AgentLab lab(tmux, home.path());
  ASSERT_TRUE(lab.ready());
  std::string pane = lab.start("real", home.path() + "/work");
  ASSERT_FALSE(pane.empty());
  const int64_t pid = tmux.panePid(pane);
  ASSERT_TRUE(lab.waitForInput(pane, 90)) << lab.screen(pane);
  lab.type(pane, "Hello there");
  ASSERT_TRUE(waitFor([&] { return Text::contains(lab.screen(pane), "●"); }, 60))
      << lab.screen(pane);

  std::string sid;
  const std::string registry = home.agent("sessions/" + std::to_string(pid) + ".json");
  ASSERT_TRUE(waitFor(
      [&] {
        auto doc = nlohmann::json::parse(Files::read(registry).value_or(""), nullptr, false);
        if (doc.is_object() && doc.contains("sessionId")) sid = doc["sessionId"];
        return !sid.empty() && Sessions::transcriptURL(sid).has_value();
      },
      30));
  const std::string transcript = *Sessions::transcriptURL(sid);
  const std::string projectFolder = transcript.substr(0, transcript.rfind('/'));

  // Registry files that are no files, and two more agents whose transcripts are none.
  plantBoth(home.agent("sessions"), "999001.json", "999002.json");
  plantBoth(projectFolder, "fifo-session.jsonl", "zero-session.jsonl");
  plantBoth(home.agent("ttys"), "tty-fifo", "tty-zero");
  std::string standIn = standInAgent(tmux.dir());
  ASSERT_FALSE(standIn.empty());
  std::vector<int64_t> standIns;
  for (const char* session : {"fifo-session", "zero-session"}) {
    std::string other = tmux.openPane({standIn, "100000"});
    ASSERT_FALSE(other.empty());
    standIns.push_back(tmux.panePid(other));
    home.write(".claude/sessions/" + std::to_string(standIns.back()) + ".json",
               nlohmann::json{{"sessionId", session}, {"pid", standIns.back()}, {"status", "idle"}}
                   .dump());
  }

  // Run under an address-space limit, so a reader that does read /dev/zero fails fast
  // instead of taking the machine's memory with it.
  double started = Clock::monotonic();
  VelmoRun velmo("/bin/sh", {"-c", "ulimit -v 4000000 && exec \"$0\" --list", VELMO_BINARY},
                 {{"HOME", home.path()},
                  {"TMUX_TMPDIR", tmux.dir()},
                  {"TMUX", ""},
                  {"CLAUDE_CONFIG_DIR", ""},
                  {"XDG_CONFIG_HOME", ""},
                  {"VELMO_LANG", "en"},
                  {"LC_ALL", "C"},
                  {"LANG", "C"}},
                 true);
  std::string output = velmo.rest(30);
  auto status = velmo.wait(10);
  std::cout << "velmo --list took " << Clock::monotonic() - started << " s, peak "
            << velmo.peakKilobytes().value_or(-1) / 1024 << " MB\n";
  ASSERT_EQ(status, 0) << "velmo --list did not come back\n" << output;
  ASSERT_TRUE(velmo.peakKilobytes());
  EXPECT_LT(*velmo.peakKilobytes(), 100 * 1024);

  // What went to standard error comes first; the list is printed once at the end.
  size_t json = Text::startsWith(output, "{") ? 0 : output.find("\n{");
  ASSERT_NE(json, std::string::npos) << output;
  if (json > 0) ++json;
  std::string log = output.substr(0, json);
  auto list = nlohmann::json::parse(output.substr(json), nullptr, false);
  ASSERT_FALSE(list.is_discarded()) << output;

  const nlohmann::json* mine = entryOf(list, pid);
  ASSERT_NE(mine, nullptr) << list.dump(2);
  EXPECT_EQ(mine->at("sessionID"), sid);
  ASSERT_TRUE(mine->at("state").is_object()) << mine->dump(2);
  EXPECT_EQ(mine->at("state").at("model"), "Opus");
  for (int64_t other : standIns) {
    const nlohmann::json* entry = entryOf(list, other);
    ASSERT_NE(entry, nullptr) << list.dump(2);
    EXPECT_TRUE(entry->at("state").is_null()) << entry->dump(2);
  }

  // One line for each thing passed over.
  for (const std::string& path :
       {home.agent("sessions/999001.json"), home.agent("sessions/999002.json"),
        projectFolder + "/fifo-session.jsonl", projectFolder + "/zero-session.jsonl",
        home.agent("ttys/tty-fifo"), home.agent("ttys/tty-zero")}) {
    const std::string line = "Velmo: skipped " + path + ": not a regular file\n";
    size_t at = log.find(line);
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find(line, at + 1), std::string::npos) << log;
  }
}
