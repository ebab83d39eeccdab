#pragma once
// Which agent processes run in which terminals, and which session each runs.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "terminals/terminal.h"

namespace Terminals {

/// The most a registry file may hold; the agent writes a few hundred bytes.
constexpr int64_t kRegistryBytes = int64_t{64} * 1024;

/// One registry file of ~/.claude/sessions, as discovery reads it.
struct RegistryRecord {
  std::string id;  ///< session id
  bool waiting = false;
  std::string job;  ///< job id of a background session ("bg"), else empty
  std::string status;
  std::string name;
};

/// The agent terminals, sorted by slot; a list at most 2.5 seconds old.
std::vector<Terminal> open();
/// The same, or no value when the process list could not be read (so "none open" is
/// never told from "cannot tell" by an empty list).
std::optional<std::vector<Terminal>> listed();
/// The last discovered list however old, without discovering; empty before the first.
std::vector<Terminal> cached();
/// A full discovery, bypassing the cache.
std::vector<Terminal> discover();
/// The same, or no value when the process list could not be read.
std::optional<std::vector<Terminal>> discoverListed();

/// Registry files by pid.
std::map<int64_t, RegistryRecord> pidToSession();
/// One registry file's top-level JSON object; no value when it cannot be read or is not one.
std::optional<nlohmann::json> registryObject(const std::string& path);
/// Tty files: tty path → session id (the most recently modified file wins).
std::map<std::string, std::string> ttyToSession();
/// tty path → cleaned window title, asked of the terminal host at most every 10 seconds.
std::map<std::string, std::string> windowTitles();

/// Removes the agent's spinner, program suffixes and size suffixes from a window title.
std::string clean(const std::string& title);
/// Seconds from the elapsed-time column of ps ("[[dd-]hh:]mm:ss").
double seconds(const std::string& etime);
/// The short terminal name of ps ("pts/7", or "ttys003" on macOS) as a tty path
/// ("/dev/pts/7"); "" when the process has no terminal ("?", a console).
std::string ttyFromPs(const std::string& column);
/// The slot of a tty path: its number zero-padded to three digits ("/dev/pts/7" → "007").
std::string slotOf(const std::string& tty);

/// The pure heart of discovery: the ps listing and the three maps in, terminals out (sorted).
/// Only processes whose real user id is `uid` count: other users' agents are not this
/// user's terminals.
std::vector<Terminal> parseProcesses(const std::string& psOutput, int64_t uid,
                                     const std::map<int64_t, RegistryRecord>& registry,
                                     const std::map<std::string, std::string>& ttySessions,
                                     const std::map<std::string, std::string>& titles);

/// Hook run at the end of every successful discovery (the application sets it).
void setOnScan(std::function<void()> hook);

/// Gives the `ps -axo pid=,ruid=,tty=,etime=,args=` listing; no value when ps fails.
using PsRunner = std::function<std::optional<std::string>()>;
/// Replaces the ps run (tests count and script it); nullptr restores the real listing
/// (read from /proc like ps, or ps itself where /proc cannot be read).
void installPsRunner(PsRunner runner);

/// The one lock of the Terminals namespace's caches. Held only around lookups and
/// stores, never while a file is read or a process runs.
std::mutex& lock();

}  // namespace Terminals
