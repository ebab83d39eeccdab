#pragma once
// Closing terminals whose agent has sat idle for a day. Every one that still matters is
// kept (the central console, an open question, a hand-off in progress, open tasks, running
// background agents), each with its reason in the hygiene log; the rest get "/exit", and
// the window goes when it held that terminal alone. The very first sweep only writes what
// it would do.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "relay/relay.h"
#include "terminals/terminal.h"

namespace IdleClose {

/// Session id → relay stage, as the relay store holds it.
using Stages = std::map<std::string, std::string>;

/// One sweep over the open terminals with the relay's stages; throttled to every 600 s
/// (20 s in test mode). Types and waits, so it runs on the chores queue.
void sweep(const std::vector<Terminal>& terminals, const Stages& stages);
/// The sweep with the stages read from the relay store.
void sweep(const std::vector<Terminal>& terminals);
/// Whether a sweep would run now (switched on and its interval passed), so a caller can
/// skip gathering the terminals.
bool due();

/// Whether test mode is on: "hygieneTestCwd" set and "hygieneTestAge" above 0.
bool testMode();
/// How long an agent must have sat idle: a day, or the test age (at least 30 s).
double idleAge();

/// The relay store's stages (~/.claude/velmo-relay.json); empty when missing or unreadable.
Stages relayStages();
/// The stages of a store the relay already read.
Stages stagesOf(const Relay::Store& store);
/// The session's task files (".json") whose status is "pending" or "in_progress"; 0 when
/// the folder cannot be listed.
int64_t openTasks(const std::string& sid);
/// The names the terminal is known by, the non-empty ones in order: the user's name, the
/// registry name, the window title, the conversation's title.
std::vector<std::string> names(const Terminal& t);
/// Whether a name marks the central console (a middle dot counts as a blank).
bool centralConsole(const std::string& name);

/// Why the terminal must stay open, or none: the first reason that applies.
std::optional<std::string> keepReason(const Terminal& t, const std::vector<std::string>& known,
                                      const Stages& stages, bool prompted);

/// Adds a closed terminal's name to the day's tally, starting a new day (with its line in
/// the log) when the date changed.
void tallyClosed(const std::string& name);

/// Forgets when the last sweep ran (tests).
void forget();

}  // namespace IdleClose
