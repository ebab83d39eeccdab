#pragma once
// The sub-agents a session started: each writes its own transcript, with a meta file
// beside it, in the session's "subagents" folder (and one level deeper, under
// "workflows/<run>/", for workflow runs). Pure readers: any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"

struct Agent {
  std::string id;    ///< the transcript's file name without extension and "agent-"
  std::string sid;   ///< the parent session
  std::string chat;  ///< label of the parent chat; empty in the one-session view
  std::string kind;
  std::string task;
  std::string model;  ///< display label ("Opus"), empty when unknown
  Clock::Time started = Clock::kDistantPast;
  Clock::Time updated = Clock::kDistantPast;
  bool running = false;
  int64_t bytes = 0;
  int64_t depth = 0;
  // Filled only while running:
  std::string doing;
  std::string say;
  int64_t context = 0;
  int64_t steps = 0;
};

namespace Agents {

/// A session whose sub-agents are wanted, with the terminal's slot for its chat label.
struct Parent {
  std::string sessionID;
  std::string slot;
};

/// What the meta file says; its defaults when the file is missing or broken.
struct Meta {
  std::string kind;  ///< "agent" (Hebrew "סוכן") when absent
  std::string task;
  std::string model;
  int64_t depth = 0;
  bool finished = false;
};

/// What the newest records of a running sub-agent show.
struct Beat {
  std::string doing;
  std::string say;
  int64_t context = 0;
  int64_t steps = 0;
};

/// How recently a sub-agent must have written to count as running.
constexpr double kRunningSeconds = 120;
/// The most rows `all` gives.
constexpr size_t kMostRows = 60;

/// The sub-agents of all these sessions, newest update first, at most `kMostRows`.
std::vector<Agent> all(const std::vector<Parent>& parents);
/// The running sub-agents of one session, oldest start first (chat label empty).
std::vector<Agent> live(const std::string& sessionID);
/// One `Agent` per transcript in a "subagents" folder and its workflow runs.
std::vector<Agent> inFolder(const std::string& folder, const std::string& sid,
                            const std::string& chat);
/// The sub-agents folder of a session's transcript.
std::string folderOf(const std::string& transcript);
/// How many sub-agents of a session's transcript are running now.
int64_t runningCount(const std::string& transcript);

/// The meta file beside a sub-agent transcript, read once per size and time.
Meta metadata(const std::string& transcript);
/// Doing, say, context and steps from the last 400,000 bytes of a transcript.
Beat beat(const std::string& transcript);
/// A finished sub-agent is done at once; any other is running while it writes.
bool running(const Meta& meta, Clock::Time updated, Clock::Time now);
/// When the transcript was started: the file's birth time where the file system keeps one,
/// else the first record's time stamp, else `modified`.
Clock::Time started(const std::string& transcript, Clock::Time modified);
/// The same choice with the birth time given (none: the file system keeps none).
Clock::Time started(const std::string& transcript, std::optional<Clock::Time> birth,
                    Clock::Time modified);

}  // namespace Agents
