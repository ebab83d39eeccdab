#pragma once
// A plain-text mirror of every conversation: one shard per transcript under
// ~/.claude/velmo-index/, one line per prompt or reply ("epoch TAB y|c TAB text"), so word
// search and title warm-up run grep over small flat files instead of parsing JSON lines.
// A refresh reads only what was appended since the last one.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Index {

/// How far a transcript has been indexed.
struct Mark {
  int64_t pos = 0;      ///< transcript bytes indexed; always just behind a line feed, or 0
  int64_t size = 0;     ///< the transcript's size when last looked at
  std::string project;  ///< the project label of its folder
  /// The shard's length once those bytes were indexed. A refresh cut short after writing
  /// a shard but before saving the manifest leaves the shard longer than this; it is cut
  /// back before appending, so no line is ever indexed twice. Absent in older manifests.
  std::optional<int64_t> shard;
};

/// One transcript found on disk.
struct Log {
  std::string path;
  int64_t size = 0;
  std::string project;
};

/// What one refresh did (for tests and benchmarks).
struct Report {
  bool ran = false;        ///< false when another refresh ran, or the throttle held it back
  int listed = 0;          ///< transcripts found
  int opened = 0;          ///< transcripts read
  int rebuilt = 0;         ///< shards started over (transcript shrank, or shard lost lines)
  int64_t bytesRead = 0;   ///< transcript bytes read
  int64_t linesAdded = 0;  ///< shard lines written
};

/// Brings every shard up to date with its transcript. A call while another refresh runs
/// returns at once; an unforced call within 20 seconds of the last start does too.
Report refresh(bool force);
/// A refresh is running.
bool building();
/// Transcripts not yet handled by the running refresh; 0 when idle.
int pending();
/// Paths of all shards, the most recently modified first. Does not refresh.
std::vector<std::string> shardsByRecency();
/// The project label of a session as of the last finished refresh ("" when unknown).
std::string project(const std::string& sid);

/// ~/.claude/velmo-index
std::string dir();
/// The shard of a session.
std::string shardPath(const std::string& sid);
/// ~/.claude/velmo-index/manifest.json
std::string manifestPath();

// The pieces of a refresh, pure over their inputs.

/// The label of a transcript folder: the name split at "-" without empty pieces; none
/// gives "", one or two give "home" (in Hebrew "בית"), more give the last piece.
std::string projectLabel(std::string_view folderName);
/// Message text as a shard holds it: system blocks and terminal codes removed, line
/// breaks and tabs turned into spaces, runs of spaces made one, trimmed.
std::string clean(std::string_view text);
/// The shard line of one transcript line, with its line feed; none for tool traffic,
/// side chains, other record types and texts shorter than two characters.
std::optional<std::string> shardLine(std::string_view record);
/// Manifest text in and out. Unreadable text, and entries of the wrong shape, count as absent.
std::map<std::string, Mark> parseManifest(std::string_view text);
std::string manifestText(const std::map<std::string, Mark>& marks);
/// Every transcript directly inside a folder of ~/.claude/projects, in listing order.
std::vector<Log> allLogs();

}  // namespace Index
