#pragma once
// Meaning search: a question in the user's own words ("the conversation where we fixed the
// login page") answered by the agent itself in one-shot mode, over a compact catalogue of
// recent conversations and work files. Takes seconds; every run leaves a line in
// ~/.claude/velmo-smart.log.

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "library/works.h"
#include "search/quick_find.h"
#include "search/titles.h"

namespace SmartSearch {

/// One catalogued conversation.
struct Entry {
  std::string sid;
  std::string title;    ///< its title, or "untitled"
  std::string project;  ///< "" when unknown
  std::string when;     ///< "d.M.yy" of its newest dated line; "" when none
  /// The user's prompts: all when fewer than three, else the first and the last.
  std::vector<std::string> prompts;
};

/// What a run gives: rows, best first (at most 6; empty when nothing fits or nothing could
/// be catalogued), or no rows and why.
struct Result {
  std::optional<nlohmann::json> rows;
  std::string error;  ///< "" when the agent answered
};

/// How conversations get their titles: `of` may search a transcript, `known` may not;
/// `save` keeps what `of` learnt.
struct Titling {
  QuickFind::TitleOf of = Titles::of;
  QuickFind::TitleOf known = Titles::known;
  std::function<void()> save = Titles::save;
};

/// The page's row of one work file, built by the library's views (which this layer does
/// not reach); `root` is the works folder.
using FileRow = std::function<nlohmann::json(const Work& work, const std::string& root)>;

/// What a run stands on besides its question; tests replace parts.
struct Options {
  Titling titles;
  /// How a chosen file becomes a row; none: a row with its path alone.
  FileRow fileRow;
  /// Seconds the agent may take; VELMO_SMART_LIMIT overrides the minute for tests.
  double limit = 60;
  /// Shards, newest first; none: the index's.
  std::optional<std::vector<std::string>> shards;
  /// Work files and their folder; none: the works folder's.
  std::optional<std::vector<Work>> works;
  std::string worksRoot;
  /// Whether the index is brought up to date first.
  bool refresh = true;
};
/// The options of a real run.
Options defaults();

/// Asks the agent (found by `Terminals::claudePath`) about `query` and logs the outcome.
/// A query under 3 characters (trimmed) is not sent.
Result run(const std::string& query, const Options& options = defaults());
/// The same with a given agent program.
Result runWith(const std::string& program, const std::string& query, const Options& options);

/// Appends "‹ISO-8601 time› ‹text›" to ~/.claude/velmo-smart.log.
void log(const std::string& text);
/// ~/.claude/velmo-smart.log
std::string logPath();

// The pieces of a run.

/// The shards to catalogue: the 90 newest, then among the next 600 those whose known title
/// holds a search word, up to 130 in all.
std::vector<std::string> pick(const std::vector<std::string>& shards,
                              const std::vector<QuickFind::Group>& words,
                              const QuickFind::TitleOf& known);
/// The entry of one shard; none when it cannot be read or holds no prompt of the user.
std::optional<Entry> entry(const std::string& shardPath, const QuickFind::TitleOf& titleOf);
/// Entries of the shards that give one, in order.
std::vector<Entry> catalog(const std::vector<std::string>& shards,
                           const QuickFind::TitleOf& titleOf);
/// Up to 140 files: the 80 whose path (below `root`) matches most search words, then the
/// newest others that are not images.
std::vector<Work> fileCatalog(const std::string& query, const std::vector<Work>& works,
                              const std::string& root);
/// The text sent to the agent.
std::string prompt(const std::string& query, const std::vector<Entry>& entries,
                   const std::vector<Work>& files, const std::string& root);
/// The rows of an answer: lines "‹id› | ‹why›", ids "c1"… for entries and "f1"… for files;
/// unknown ids ("NONE") and repeats skipped, at most 6.
nlohmann::json rows(const std::string& answer, const std::vector<Entry>& entries,
                    const std::vector<Work>& files, const std::string& root,
                    const FileRow& fileRow = {});

/// What the agent said.
struct Answer {
  std::optional<std::string> text;  ///< standard output when it exited with status 0
  std::string error;                ///< otherwise why: "launch: …" or "exit N: …"
};
/// Runs the agent in one-shot mode with the prompt on its standard input: no session kept,
/// no tools, settings or tool servers, thinking off, in the temporary folder, killed after
/// `limit` seconds.
Answer ask(const std::string& program, const std::string& prompt, double limit);
/// The agent's command line after its program.
std::vector<std::string> arguments();

}  // namespace SmartSearch
