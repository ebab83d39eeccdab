#pragma once
// Transcript lines with chosen usage, and a fixture that gives each spend test a fresh
// home, a fake clock and an empty account.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "base/timefmt.h"
#include "spend/account.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/transcripts.h"

namespace SpendTest {

struct Usage {
  int64_t input = 0, output = 0, creation = 0, read = 0;
  std::optional<int64_t> five{}, hour{};  ///< the cache_creation breakdown, when written
};

/// One assistant record (with its line feed) as the agent writes it.
inline std::string reply(const std::string& id, double at, const Usage& u,
                         const std::string& model = "claude-opus-4-5",
                         const std::string& text = "Done.") {
  nlohmann::json usage = {{"input_tokens", u.input},
                          {"cache_creation_input_tokens", u.creation},
                          {"cache_read_input_tokens", u.read},
                          {"output_tokens", u.output}};
  if (u.five || u.hour)
    usage["cache_creation"] = {{"ephemeral_5m_input_tokens", u.five.value_or(0)},
                               {"ephemeral_1h_input_tokens", u.hour.value_or(0)}};
  nlohmann::json r = {{"parentUuid", nullptr},
                      {"isSidechain", false},
                      {"message",
                       {{"id", id},
                        {"type", "message"},
                        {"role", "assistant"},
                        {"model", model},
                        {"content", {{{"type", "text"}, {"text", text}}}},
                        {"usage", usage}}},
                      {"type", "assistant"},
                      {"uuid", "u-" + id},
                      {"timestamp", TimeText::iso8601(at)}};
  return r.dump() + "\n";
}

/// A prompt the person typed.
inline std::string prompt(const std::string& text, double at) {
  return nlohmann::json({{"type", "user"},
                         {"message", {{"role", "user"}, {"content", text}}},
                         {"timestamp", TimeText::iso8601(at)}})
             .dump() +
         "\n";
}

/// A home, a clock standing at a fixed moment, and an account emptied before and after.
class SpendFixture : public ::testing::Test {
 protected:
  void SetUp() override { Spend::account().reset(); }
  void TearDown() override { Spend::account().reset(); }

  std::string log(const std::string& sid, const std::string& text,
                  const std::string& project = "-home-dana-shop") {
    return writeTranscript(home, sid, text, project);
  }
  std::string subLog(const std::string& sid, const std::string& agent, const std::string& text,
                     const std::string& project = "-home-dana-shop") {
    return home.write(
        ".claude/projects/" + project + "/" + sid + "/subagents/agent-" + agent + ".jsonl", text);
  }
  /// All-time counters of one model over every session.
  Spend::Counters model(const std::string& name = "claude-opus-4-5") {
    auto all = Spend::allModels();
    auto it = all.find(name);
    return it == all.end() ? Spend::Counters{} : it->second;
  }
  Spend::SessionSpend session(const std::string& sid) {
    return Spend::account().inspect([&](const Spend::Store& s) {
      auto it = s.sessions.find(sid);
      return it == s.sessions.end() ? Spend::SessionSpend{} : it->second;
    });
  }

  ScopedHome home;
  FakeClock clock{1796800000};  // 2026-12-09, mid-morning in UTC
};

}  // namespace SpendTest
