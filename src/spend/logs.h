#pragma once
// Finding every transcript file under ~/.claude/projects: each session's own transcript,
// and the sub-agent transcripts in the session's folder.

#include <sys/stat.h>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "spend/records.h"

namespace Spend {

/// Lists the logs, remembering each folder's entries while the folder's modification time
/// stays the same: a refresh with nothing new then costs one stat per folder and per log
/// instead of opening and reading every folder again.
class LogFinder {
 public:
  /// Every log on disk, oldest modified first (so a conversation is read before its forks).
  std::vector<Log> allLogs();
  void clear();

 private:
  struct Entry {
    std::string name;
    bool log = false;  ///< a "*.jsonl" name; otherwise possibly a folder
  };
  struct Listing {
    double modified = 0;  ///< the folder's modification time when listed
    double listedAt = 0;
    std::vector<Entry> entries;
  };
  using Found = std::function<void(const std::string& relative, const struct stat& file)>;
  static constexpr size_t kListingsKept = 100000;

  const Listing* listing(const std::string& dir, const struct stat& st, double now, bool follow);
  void walk(const std::string& dir, const std::string& relative, int depth, const struct stat& st,
            double now, const Found& found);
  std::unordered_map<std::string, Listing> listings;
};

}  // namespace Spend
