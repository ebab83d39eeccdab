#pragma once
// Reading a stretch of one transcript file: the usage of each assistant message in it,
// with repeated records of one message folded into their largest usage.

#include <simdjson.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "spend/records.h"

namespace Spend {

/// The bytes that mark a line worth parsing; lines without them are never parsed.
constexpr std::string_view kMarker = "\"output_tokens\"";
/// Bytes read at a time.
constexpr size_t kChunkBytes = 1 << 20;
/// A line longer than this is passed over unread (an assistant record is far smaller).
constexpr size_t kLongestLine = 8 << 20;

/// Bytes [start, end) of a file: it takes the lines that begin there, reading on past `end`
/// (never past `limit`) to finish the last one.
struct Stretch {
  int64_t start = 0;
  int64_t end = 0;
  int64_t limit = 0;
  bool atLineStart = true;  ///< `start` is known to begin a line (a mark's position)
};

/// What reading one stretch found.
struct Harvest {
  bool opened = false;
  /// Just past the last whole line passed (-1 when none); where the next read begins.
  int64_t pos = -1;
  /// False when the stretch stopped inside a line not finished before `limit` (a
  /// half-written line): nothing after it may be taken yet.
  bool complete = true;
  int64_t bytes = 0;                ///< bytes read
  std::vector<Use> uses;            ///< in the order the messages first appear
  std::vector<std::string> models;  ///< the model names the uses name
  std::string lastMsg;              ///< the last message id read
};

/// One reader's buffer and parser, reused from stretch to stretch (one per thread).
class Harvester {
 public:
  Harvester();
  Harvest run(const std::string& path, const Stretch& stretch);

 private:
  void scan(const char* begin, const char* end, Harvest& into);
  void record(const char* begin, size_t length, Harvest& into);
  simdjson::ondemand::parser parser;
  std::vector<char> buffer;
};

/// A stable 64-bit hash of a message id (FNV-1a), never 0 (which stands for no id).
uint64_t idHash(std::string_view id);

}  // namespace Spend
