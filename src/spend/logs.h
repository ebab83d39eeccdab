#pragma once
// Finding every transcript file under ~/.claude/projects: each session's own transcript,
// and the sub-agent transcripts in the session's folder.

#include <vector>

#include "spend/records.h"

namespace Spend {

/// Every log on disk, oldest modified first (so a conversation is read before its forks).
std::vector<Log> allLogs();

}  // namespace Spend
