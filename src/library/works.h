#pragma once
// The work files that exist: a walk of the shared work folder (~/Documents/claude), each
// file classed by extension and project. Walked at most every 20 seconds.

#include <cstdint>
#include <string>
#include <vector>

#include "base/clock.h"

struct Work {
  std::string path;
  std::string name;
  std::string kind;  ///< display word in the interface language
  std::string project;
  Clock::Time modified = Clock::kDistantPast;
  int64_t size = 0;
};

namespace Works {

/// How long a walk is trusted.
constexpr double kFreshSeconds = 20;
/// The deepest folder listed below the work folder.
constexpr int kDepth = 5;

/// The work folder.
std::string root();
/// Every work file, newest first; the last walk when it is under 20 seconds old.
std::vector<Work> everything();
/// The kind word of a file by its extension; empty when it is not a work file.
std::string kind(const std::string& path);
/// The project of a file under `root`: "root" for one directly in it, the folder after
/// "projects" for one under it, else the first folder; empty outside `root`.
std::string project(const std::string& path, const std::string& root);

}  // namespace Works
