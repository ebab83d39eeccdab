// `velmo --spend` on a generated corpus whose exact totals are known: replies written as
// several records with a growing output count, sub-agent transcripts and forked sessions.
// Counting the first record of each reply, or a fork's repeated messages, misses them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/files.h"
#include "base/text.h"
#include "e2e/velmo_run.h"
#include "support/home.h"

namespace {

using Json = nlohmann::json;

struct Ran {
  int status = -1;
  std::string out, err;
};

// Runs a program with `env` laid over this process's environment ("" removes a name).
Ran run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
        const std::string& scratch) {
  std::vector<std::string> envText = environmentWith(env);
  std::vector<char*> envp, args;
  for (auto& s : envText) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = argv;
  for (auto& s : argCopy) args.push_back(s.data());
  args.push_back(nullptr);

  std::string outPath = scratch + "/out.txt", errPath = scratch + "/err.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  Ran ran;
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) {
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) ran.status = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  ran.out = Files::read(outPath).value_or("");
  ran.err = Files::read(errPath).value_or("");
  return ran;
}

class SpendCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    corpus = makeTempDir("velmo-spend-corpus");
    scratch = makeTempDir("velmo-spend-run");
    if (run({"python3", "--version"}, {}, scratch).status != 0)
      GTEST_SKIP() << "python3 is needed to write the corpus and is not on PATH";
    // Sessions of the last three days, so today's and this week's spans have something.
    long long start = static_cast<long long>(Clock::now()) - 3 * 86400;
    Ran gen = run({"python3", std::string(VELMO_SOURCE_DIR) + "/bench/gen-corpus", corpus, "--mb",
                   "6", "--sessions", "14", "--projects", "3", "--seed", "11", "--forks", "3",
                   "--start", std::to_string(start), "--days", "3"},
                  {}, scratch);
    ASSERT_EQ(gen.status, 0) << gen.err;
    auto totals = Files::read(corpus + "/totals.json");
    ASSERT_TRUE(totals);
    expected = Json::parse(*totals);
  }
  void TearDown() override {
    if (!corpus.empty()) removeTree(corpus);
    if (!scratch.empty()) removeTree(scratch);
  }
  Ran spend() {
    return run({VELMO_BINARY, "--spend"},
               {{"HOME", corpus},
                {"CLAUDE_CONFIG_DIR", ""},
                {"VELMO_LANG", "en"},
                {"XDG_CONFIG_HOME", corpus + "/.config"}},
               scratch);
  }
  std::string readLine(size_t read) {
    return std::to_string(read) + " of " + std::to_string(expected["files"].get<int>()) +
           " transcripts read";
  }

  std::string corpus, scratch;
  Json expected;
};

TEST_F(SpendCommand, ModelsEqualTheGeneratorsExactTotalsAndASecondRunReadsNothing) {
  ASSERT_GT(expected["subagents"].get<int>(), 0);
  ASSERT_EQ(expected["forks"].size(), 3u);

  Ran first = spend();
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(Text::contains(first.err, readLine(expected["files"].get<size_t>()))) << first.err;
  Json report = Json::parse(first.out);
  const Json& models = report["models"];
  ASSERT_EQ(models.size(), expected["models"].size()) << models.dump();
  for (const auto& [name, want] : expected["models"].items()) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(models.contains(name));
    const Json& got = models[name];
    EXPECT_EQ(got["input"], want["input_tokens"]);
    EXPECT_EQ(got["output"], want["output_tokens"]);
    EXPECT_EQ(got["read"], want["cache_read_input_tokens"]);
    EXPECT_EQ(got["write5"], want["ephemeral_5m_input_tokens"]);
    EXPECT_EQ(got["write1h"], want["ephemeral_1h_input_tokens"]);
    EXPECT_EQ(got["calls"], want["messages"]);
  }
  const Json& board = report["board"];
  EXPECT_EQ(board["ready"], true);
  EXPECT_EQ(board["all"]["output"], expected["total"]["output_tokens"]);
  EXPECT_EQ(board["bars"].size(), 14u);
  EXPECT_GT(board["week"]["output"].get<int64_t>(), 0);
  // A fork's session holds only its own new messages, far fewer than its original's.
  std::map<std::string, int64_t> outputs;
  for (const auto& row : board["all"]["sessions"]) outputs[row["sid"]] = row["out"];
  for (const auto& fork : expected["forks"]) {
    ASSERT_TRUE(outputs.count(fork["of"])) << fork.dump();
    if (outputs.count(fork["sid"])) {
      EXPECT_LT(outputs[fork["sid"]], outputs[fork["of"]]);
    }
  }

  Ran second = spend();
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_TRUE(Text::contains(second.err, readLine(0))) << second.err;
  EXPECT_EQ(Json::parse(second.out)["models"], models);
}

TEST_F(SpendCommand, AStoreThatIsNotJsonIsCountedAgain) {
  ASSERT_EQ(spend().status, 0);
  Files::writeAtomic(corpus + "/.claude/velmo-spend/spend.json", "not json");
  Ran again = spend();
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(Text::contains(again.err, readLine(expected["files"].get<size_t>()))) << again.err;
  EXPECT_EQ(Json::parse(again.out)["board"]["all"]["output"], expected["total"]["output_tokens"]);
}

}  // namespace
