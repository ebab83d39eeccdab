#pragma once
// Builders of the JSON payloads the page paints. Pure readers: callable from any thread.

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/clock.h"
#include "library/asks.h"
#include "library/commands.h"
#include "library/works.h"
#include "sessions/questions.h"
#include "sessions/state.h"
#include "sessions/subagents.h"
#include "terminals/picker.h"
#include "terminals/terminal.h"

namespace Panel {

/// One rack row as the page reads it. Integers stay integers and fractions doubles, since
/// the page compares and formats them; an absent optional is an absent key unless noted.
struct Unit {
  std::string tty;
  std::string sid;
  std::string slot;
  std::string state;  ///< "ask", "run", "wait" or "quiet"
  std::string stateLabel;
  std::string title;
  std::string say;
  std::string path;
  std::string age;
  std::string model;
  int64_t agents = 0;
  std::string chain;
  std::string relay;
  int64_t relayAgents = 0;
  bool relayShell = false;
  double share = 0;
  int64_t output = 0;
  std::optional<Clock::Time> moved;   ///< none: the Int 0 (a row without session)
  std::optional<nlohmann::json> ask;  ///< what the terminal asks now
  bool windowless = false;            ///< the key only when true
  std::string stamp;
  bool muted = false;  ///< the key only when true
  std::string context;
  std::optional<double> full;  ///< none: the Int 0 (no context count)
  std::optional<std::string> ctxLevel;
};

/// The row's JSON object, as the page receives it.
void to_json(nlohmann::json& out, const Unit& unit);

/// One sub-agent as the crew view (and a conversation's crew) lists it.
struct CrewRow {
  std::string id;
  std::string sid;
  std::string chat;
  std::string kind;
  std::string model;
  std::string task;
  bool running = false;  ///< "state" "run", else "quiet"
  std::string stateLabel;
  std::string age;
  std::string since;
  std::string doing;
  std::string say;
  int64_t steps = 0;
  std::string context;  ///< "12k"; "" under a thousand tokens
  int64_t depth = 0;
};
void to_json(nlohmann::json& out, const CrewRow& row);

/// One question of the asks log.
struct AskRow {
  std::string id;
  std::string urgency;
  std::string title;
  std::string asker;
  std::string since;
  std::string cost;
  std::string body;
  std::string answer;  ///< "answered" is true when not empty
};
void to_json(nlohmann::json& out, const AskRow& row);

/// One work file as the works view (and the file hits of search) shows it.
struct WorkRow {
  std::string path;
  std::string name;
  std::string kind;
  std::string project;
  std::string folder;  ///< under the work folder, without the name
  std::string age;
  std::string size;
  std::string span;  ///< "day", "week", "month" or "old"
};
void to_json(nlohmann::json& out, const WorkRow& row);

/// The works view: the newest work files and the projects among them.
struct WorksList {
  std::vector<WorkRow> rows;
  std::vector<std::string> projects;  ///< sorted, once each
};
void to_json(nlohmann::json& out, const WorksList& list);

/// One command of the book.
struct BookRow {
  std::string name;
  std::string kind;
  std::string hint;
};
/// A titled group of the book.
struct BookGroup {
  std::string title;
  std::vector<BookRow> rows;
};
void to_json(nlohmann::json& out, const BookRow& row);
void to_json(nlohmann::json& out, const BookGroup& group);

/// Rack rows, one per open terminal, sorted.
std::vector<Unit> units();
/// Questions of the other terminals, shown above an open conversation.
nlohmann::json alerts(const std::string& excludingSessionID);
/// Every unmuted open question.
nlohmann::json liveAsks();
/// Sub-agent rows of all open terminals.
std::vector<CrewRow> agents();
CrewRow crewRow(const Agent& agent);
/// Rows of the asks log.
std::vector<AskRow> asks();
AskRow askRow(const Ask& ask);
/// The command book, from the whole catalogue.
std::vector<BookGroup> book();
/// The book of given commands: agents and the user's own commands first, skills by family,
/// the agent's built-ins last.
std::vector<BookGroup> book(const std::vector<Command>& all);
/// Outputs and the work folder.
WorksList works();
/// The works view of given files, newest first, under the work folder `top`.
WorksList works(std::vector<Work> all, const std::string& top);
/// One work file as the works view shows it (`top` is the work folder).
WorkRow workRow(const Work& work, const std::string& top);
/// The spend board.
nlohmann::json spend();

// ---- Questions ----

/// What the terminal is asking now, as read from the last screen pass and the transcript.
std::optional<nlohmann::json> resolveAsk(const Terminal& t);
/// The same decision over given readings: the screen pass, the ttys it covered and the
/// session's open question.
std::optional<nlohmann::json> resolveAsk(const Terminal& t, const Terminals::PickerScan& scan,
                                         const std::set<std::string>& screened,
                                         const std::optional<PendingQuestion>& question);
/// `resolveAsk` plus what the page needs around it ("windowless", "paths").
std::optional<nlohmann::json> liveAsk(const Terminal& t);
std::optional<nlohmann::json> liveAsk(const Terminal& t, const Terminals::PickerScan& scan,
                                      const std::set<std::string>& screened,
                                      const std::optional<PendingQuestion>& question);
/// The payload of a question found in the transcript.
nlohmann::json askPayload(const PendingQuestion& question, const std::string& tty);
/// The payload of a prompt seen on the screen but not (yet) in the transcript.
nlohmann::json screenAsk(const Terminals::Picker& picker, const std::string& tty);
/// The first question's text of a question payload ("" without one).
std::string firstQuestion(const std::optional<nlohmann::json>& ask);
/// Whether the user took this question down; a mute of an older moment lapses here.
bool muted(const Terminal& t, std::optional<Clock::Time> lastEvent,
           const std::optional<nlohmann::json>& ask);

// ---- Rack rows ----

/// What a rack row shows from stores other than the terminal and its session. Each has its
/// empty value until the store behind it reports.
struct RowExtras {
  std::optional<nlohmann::json> ask;  ///< `liveAsk` of the terminal
  std::string name;                   ///< the user's own name for the session
  std::string chain;                  ///< hand-off chain label
  std::string relay;                  ///< hand-off stage
  int64_t relayAgents = 0;
  bool relayShell = false;
  double share = 0;      ///< fraction of today's spend
  int64_t output = 0;    ///< output tokens today
  std::string ctxLevel;  ///< "warn", "ask" or ""
};

/// One rack row.
Unit unitRow(const Terminal& t, const std::optional<SessionState>& s, const RowExtras& extras);
/// Asking first, then working, waiting, idle, taken down; within a group the most recently
/// active first, then by slot. Stable.
void sortUnits(std::vector<Unit>& rows);

// ---- Display helpers (texts in the interface language) ----

std::string label(SessionState::Mode mode);
/// The page's word for a mode: "run", "wait" or "quiet".
const char* stateWord(SessionState::Mode mode);
/// The user's name, the session's title, the window title, the project, "terminal 003".
std::string title(const Terminal& t, const std::optional<SessionState>& s,
                  const std::string& name = "");
std::string say(SessionState::Mode mode, const std::optional<SessionState>& s);
/// "now", "5m ago", "3h ago", "2d ago"; `fallback` seconds when `since` is absent.
std::string age(std::optional<Clock::Time> since, double fallback);
/// Running time: "42s", "3:07", "1:05h".
std::string since(Clock::Time date);
/// Sort rank of a row's group: ask 0, run 1, wait 2, muted 4, anything else 3.
int rank(const std::string& key);
/// A token count for people: "999", "153k".
std::string tokens(int64_t count);
/// A file size for people: "512B", "2K", "3.0M".
std::string sizeText(int64_t bytes);
/// How long ago a time was, as the works view groups it: "day", "week", "month" or "old".
std::string span(Clock::Time modified);
/// A path under the home folder written from "~".
std::string homePath(const std::string& path);

}  // namespace Panel
