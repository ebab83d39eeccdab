#pragma once
// The relay: when a conversation's context window fills up, ask the agent to write a
// hand-off file, then continue the work in a fresh conversation in the same terminal.
// Each session's progress is one record in ~/.claude/velmo-relay.json, so the page can
// label it and the idle sweep can leave it alone.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "terminals/automation.h"
#include "terminals/terminal.h"

namespace Relay {

/// One session's hand-off progress.
struct Record {
  std::string stage;   ///< baseline, asked, ready, failed, go, continued, spawned, kept, closed
  std::string file;    ///< hand-off file ("" for baseline)
  std::string cwd;     ///< the session's folder when the record was made
  std::string name;    ///< the session's display name when asked
  Clock::Time at = 0;  ///< when the stage last changed
  std::optional<std::string> next;  ///< the session that continued this one
  std::optional<std::string> prev;
  std::optional<int64_t> pct;  ///< context fill when asked
  std::optional<bool>
      automatic;  ///< "auto": auto-continue took (true), was skipped (false), never tried
  bool operator==(const Record&) const = default;
};

/// Session id → record.
using Store = std::map<std::string, Record>;

/// The day's tally (the setting "hygieneDay").
struct Day {
  std::string day;  ///< "yyyy-MM-dd", local
  std::vector<std::string> reset;
  std::vector<std::string> closed;
};

/// The allowed ask thresholds in percent.
inline constexpr int kChoices[] = {60, 65, 70, 75, 80, 85};

// ---- store ----

/// The whole store as it is on disk; a missing or unreadable file is an empty one. Re-read
/// only when the file changed.
Store all();
/// Changes one session's record as it is on disk now (none: there is none, or it does not
/// parse), under the store's lock; `edit` returns whether it changed it (none removes it).
/// Records of other sessions stay as they are. False when nothing was written.
bool change(const std::string& sid, const std::function<bool(std::optional<Record>&)>& edit);
/// Sets the record to `after` only while the disk still holds `before`: a change worked out
/// from an earlier reading never undoes one made since (a continue click in another Velmo).
bool replace(const std::string& sid, const std::optional<Record>& before, const Record& after);
/// Replaces the whole store (seeding and tools; the relay itself changes record by record).
bool save(const Store& store);
/// The record's stage, or none.
std::optional<std::string> stage(const std::string& sid);
/// The store as its file holds it, and back (a record that does not parse is skipped).
std::string encode(const Store& store);
Store decode(const std::string& text);

// ---- readings ----

/// The context window in tokens of a session on `model` (as its transcript names it),
/// started with `chosen` (its "--model"), now holding `tokens`: the setting "relayWindow"
/// when it is 1 or more, else the model's own (`Models::window`).
double window(std::string_view model = {}, std::string_view chosen = {}, int64_t tokens = 0);
/// The ask threshold in percent ("relayAskPct" when one of the choices, else 75).
int threshold();
/// "ask", "warn" or "" for a context size.
std::string level(int64_t tokens, std::string_view model = {}, std::string_view chosen = {});

/// The agent's own state for its process and since when ("" and the distant future when
/// its registry file or the fields are missing).
std::pair<std::string, Clock::Time> official(int64_t pid);
/// Idle (or idle with a background shell) for more than 45 s, not waiting, and no prompt
/// on its screen.
bool calm(const Terminal& t);
/// Background sub-agents of the session whose completion has not reached its transcript.
int64_t agents(const std::string& sid);
/// Whether the terminal running the session reports "shell" (background work running).
bool shellOut(const std::string& sid);
/// The file is at least 301 bytes and has not changed for 20 s.
bool ready(const std::string& file);
/// Why continuing from the hand-off would lose work, or none.
std::optional<std::string> staleHandoff(const std::string& sid, const std::string& file);
/// ~/Documents/claude/handoffs/yyyy-MM-dd-HHmm-‹sid8›.md (the folder is made).
std::string handoffPath(const std::string& sid);
/// The text typed to ask for a hand-off.
std::string requestText(int64_t pct, const std::string& path);
/// The text typed into the fresh conversation.
std::string continuationText(const std::string& sid, const Record& record);
/// The continued conversation's name: the old one with " · cont." once.
std::string continuedName(const std::string& base);

/// The page's label for a session, none when the relay has nothing to say.
std::optional<std::string> label(const std::string& sid, const std::vector<Terminal>& terminals);

// ---- acting ----

/// One relay pass over the open terminals (the scan's chores); at most every 10 s.
void tick(const std::vector<Terminal>& terminals);
/// The page's continue click: a ready hand-off moves to "go" and the next tick runs at once.
void go(const std::string& sid);
/// Clears the conversation and waits for its new session id; none when it never came.
std::optional<std::string> clear(const std::string& sid, const Terminal& t,
                                 const std::vector<Terminal>& terminals);
/// Names the new conversation and types the continuation prompt; how that send ended.
Terminals::Sent introduce(const std::string& sid, const Record& record, const std::string& newSid,
                          const Terminal& t, const std::vector<Terminal>& terminals);

/// Runs after every full tick with the terminals and the store (the idle sweep).
void setSweep(std::function<void(const std::vector<Terminal>&, const Store&)> sweep);

// ---- the day and the log ----

/// Starts a new tally when the date changed, logging the old one's line.
void rollDay();
Day today();
/// Adds a name to today's tally as the settings hold it now.
void countReset(const std::string& name);
void countClosed(const std::string& name);
/// "Reset: 2 (a, b) · Closed: 0", in the interface language.
std::string dayLine(const Day& day);
/// Appends a line to ~/.claude/velmo-hygiene.log.
void log(const std::string& text);

/// Forgets the memo and the last tick (tests, and a store written by someone else).
void forget();

}  // namespace Relay
