#include "sessions/state.h"

#include <string>
#include <unordered_map>

#include "base/file_memo.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "sessions/subagents.h"
#include "sessions/tail.h"

const char* modeName(SessionState::Mode mode) {
  switch (mode) {
    case SessionState::Mode::working:
      return "working";
    case SessionState::Mode::waiting:
      return "waiting";
    case SessionState::Mode::quiet:
      return "quiet";
  }
  return "quiet";
}

namespace Sessions {

namespace {
// The state lives near the end of a transcript; older history is never read for it.
constexpr int64_t kTailBytes = 300000;
constexpr size_t kCacheCap = 200;

// A derived state with what is needed to derive its mode again later: the mode of a
// state read 10 s after an answer must not stay "working" while the file sits unchanged.
struct Reading {
  SessionState state;
  LastKind lastKind = LastKind::unknown;
  std::string lastTool;
};

FileMemo<Reading> memo("session states", kCacheCap);  // session id → reading

std::optional<Reading> read(const std::string& path, const std::string& id, Clock::Time modified) {
  auto tail = Files::readTail(path, kTailBytes);
  if (!tail) return std::nullopt;
  TailSummary summary = summarise(std::move(tail->bytes), tail->cut, modified);
  Reading reading;
  reading.state = build(id, summary, Clock::now());
  reading.lastKind = summary.lastKind;
  reading.lastTool = std::move(summary.lastTool);
  return reading;
}

// Sub-agents write their own files while the main transcript may sit still, so their
// count is taken afresh for every state handed out.
SessionState live(SessionState state, const std::string& transcript) {
  const int64_t n = Agents::runningCount(transcript);
  if (n == 0 && state.agentsRunning == 0) return state;
  if (n > 0) state.mode = SessionState::Mode::working;
  if (state.mode == SessionState::Mode::working && state.activity.empty()) {
    state.activity = n == 1 ? Lang::pick("one agent working", "סוכן אחד עובד")
                            : std::to_string(n) + Lang::pick(" agents working", " סוכנים עובדים");
  }
  state.agentsRunning = n;
  return state;
}
}  // namespace

std::optional<SessionState> state(const std::string& sessionID) {
  if (sessionID.empty()) return std::nullopt;
  auto path = transcriptURL(sessionID);
  if (!path) return std::nullopt;
  auto attrs = Files::attributes(*path);
  if (!attrs) return std::nullopt;

  if (auto known = memo.find(sessionID, attrs->size, attrs->modified)) {
    settle(known->state, known->lastKind, known->lastTool, Clock::now());
    return live(std::move(known->state), *path);
  }

  auto fresh = read(*path, sessionID, attrs->modified);
  if (!fresh) return std::nullopt;
  memo.keep(sessionID, attrs->size, attrs->modified, *fresh);
  return live(std::move(fresh->state), *path);
}

std::optional<Clock::Time> time(std::string_view text) {
  // parseIso takes internet date-time with fractional seconds and without them alike.
  return TimeText::parseIso(text);
}

}  // namespace Sessions
