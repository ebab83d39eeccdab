#pragma once
// Writers of agent transcripts for tests: records shaped like the ones the real agent
// writes (one JSON object a line), and the files they go into under a ScopedHome.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "support/home.h"

namespace Records {

using Json = nlohmann::json;

/// A prompt the person typed (string content).
Json user(const std::string& text, Clock::Time at);
/// A user record carrying content blocks (tool results, text blocks), without the
/// top-level tool-result marker.
Json userBlocks(Json content, Clock::Time at);
/// A tool result as the agent writes it: with the top-level "toolUseResult".
Json toolResult(const std::string& toolUseID, const std::string& output, Clock::Time at);
/// An assistant record; the usage fields count toward the prompt size.
Json assistant(Json content, Clock::Time at, const std::string& model = "claude-opus-4-5",
               int64_t input = 0, int64_t cacheRead = 0, int64_t cacheWrite = 0);
Json text(const std::string& text);
Json toolUse(const std::string& name, Json input = Json::object());
Json thinking(const std::string& thought = "Let me think.");
/// A prompt typed while the agent was busy.
Json queued(const std::string& prompt, Clock::Time at, const std::string& origin = "human");
Json customTitle(const std::string& title);
Json aiTitle(const std::string& title);
/// The same record marked as written by a sub-agent's side chain.
Json sidechain(Json record);
/// The same record marked as the agent's own bookkeeping ("isMeta").
Json meta(Json record);

/// One question of the question tool; each option is a label and a description (an
/// empty description is left out, as the agent does when none was given).
Json question(const std::string& question, const std::string& header,
              const std::vector<std::pair<std::string, std::string>>& options,
              bool multi = false);
/// A call of the question tool, with a fresh id (read it from the returned "id").
Json askCall(Json questions);
/// A call of the plan-approval tool.
Json planCall(const std::string& plan);

/// The records as transcript text, each followed by a line feed.
std::string lines(const std::vector<Json>& records);

}  // namespace Records

/// Writes ~/.claude/projects/<project>/<sessionID>.jsonl and returns its path.
std::string writeTranscript(const ScopedHome& home, const std::string& sessionID,
                            const std::string& text, const std::string& project = "-tmp-work");
/// Appends text to a transcript, as the agent does.
void appendTranscript(const std::string& path, const std::string& text);
/// Writes a sub-agent transcript of a session, modified at `modified`, and returns its path.
std::string writeSubagent(const std::string& transcript, const std::string& name,
                          Clock::Time modified);
/// Copies the real agent's files from tests/fixtures/agent-home into the home's ~/.claude.
void copyFixtureAgentHome(const ScopedHome& home);
