#pragma once
// Word search over the index's shards: grep counts the messages holding the query in each
// shard, newest shards first and two batches at a time, and each matching shard is then
// read from its end until it has what it quotes, so a conversation is quoted and ranked by
// its newest matching lines.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/process.h"

namespace Search {

/// One matching shard line, cut around the match.
struct Hit {
  std::string sid;
  std::string project;
  std::string role;  ///< "you" or "claude"
  double sort = 0;   ///< the line's epoch
  std::string before, hit, after;
};

/// One conversation of a search result.
struct Conversation {
  std::string sid;
  std::string title;
  std::string project;
  std::string when;
  double sort = 0;
  int64_t total = 0;      ///< its messages whose text holds the query
  std::vector<Hit> hits;  ///< its newest three, newest first
};

/// The program word search runs.
inline constexpr const char* kGrep = "/usr/bin/grep";
/// Shards in the first grep runs, the most in any later one, and how many conversations
/// a result holds.
inline constexpr size_t kBatch = 60;
inline constexpr size_t kLargestBatch = 3840;
inline constexpr size_t kConversations = 12;
/// Matching lines quoted per shard, and the hits after which no further batch runs.
inline constexpr size_t kPerShard = 12;
inline constexpr size_t kEnough = 60;

/// Conversations whose messages hold the query (trimmed; at least two characters) as
/// literal text, any case; newest first, at most 12. Refreshes the index unforced first.
/// Once `stop` is stopped, the grep running is killed and the result is empty.
std::vector<Conversation> run(const std::string& query, const Terminals::Stop* stop = nullptr);

/// The extended regular expression of shard lines whose text (never the time or the role)
/// holds the query as literal text; grep runs it with bytes as bytes and ASCII case folded.
std::string textPattern(std::string_view query);
/// grep's arguments for one batch: the pattern after "-e", the paths after "--".
std::vector<std::string> grepArguments(const std::string& query,
                                       const std::vector<std::string>& paths);
/// Per path, the lines grep counted ("path:count" lines; others skipped).
std::vector<std::pair<std::string, int64_t>> parseCounts(std::string_view output);
/// The shard's last `want` complete lines whose text holds `needle` (lower case), newest
/// first, read from the end in bounded chunks.
std::vector<std::string> newestMatches(const std::string& path, std::string_view needle,
                                       size_t want);
/// The hit of one shard line ("epoch TAB role TAB text"), when its text holds `needle`
/// (lower case), with up to 70 characters either side of the match.
std::optional<Hit> hit(const std::string& sid, std::string_view line, std::string_view needle);
/// "d.M HH:mm" in local time; "" for an epoch of 0 or less.
std::string shortWhen(double epoch);

nlohmann::json toJson(const Hit& hit);
nlohmann::json toJson(const Conversation& conversation);

/// The search payload for a query: {"query", "hits" (word search), "titles" (quick find
/// of conversations), "files" (quick find of files)}. Runs processes; call off the main
/// thread.
nlohmann::json payload(const std::string& query, const Terminals::Stop* stop = nullptr);

}  // namespace Search
