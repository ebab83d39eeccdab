#pragma once
// The chat payload's helpers: the composer's history, the session's produced files,
// moving between live conversations, and the values the header shows.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sessions/questions.h"
#include "sessions/state.h"
#include "sessions/transcript.h"
#include "terminals/terminal.h"

namespace Panel {

/// The user's recent inputs, newest first, for the composer's up-arrow history (at most 30).
nlohmann::json history(const std::string& sessionID);
/// The files the session produced, one row each.
nlohmann::json sessionOutputs(const std::string& sessionID);

/// The conversation's title: the rack's title with a terminal; without one the session's
/// title, then its project, else "closed conversation".
std::string chatTitle(const Terminal* term, const std::optional<SessionState>& session);
/// "999 context", "153k context"; empty for no count.
std::string contextText(int64_t tokens);
/// One line of a reading as the page draws it.
nlohmann::json lineRow(const Line& line);

/// The window after "more": 24, 80, 250, 800, then the whole conversation (100000).
int nextWant(int current);

/// Session ids of the rack rows that are not quiet.
std::set<std::string> liveSessions(const nlohmann::json& units);
/// The conversation `stepLive(by)` opens: the live sessions in rack order, stepped from
/// the open one with wrap-around; the last (by < 1) or first when the open one is not
/// live. No value when nothing is live: say `noLiveNote()` then.
std::optional<std::string> stepLive(const std::vector<std::string>& order,
                                    const std::set<std::string>& live, const std::string& openSID,
                                    int by);
/// "No active terminal to jump to", in the interface language.
std::string noLiveNote();

// What the chat takes from subsystems that land separately (panel_chat_later.cpp holds
// stand-ins: neutral values, or the fallbacks that need nothing else).

/// The payload of a question found in the transcript (the status payloads' askPayload).
nlohmann::json chatAskOfQuestion(const PendingQuestion& question, const std::string& tty);
/// What an open terminal asks now (the status payloads' liveAsk).
nlohmann::json chatAskOfTerminal(const Terminal& term);
/// The rack row's title of a terminal (the status payloads' title).
std::string chatTerminalTitle(const Terminal& term, const std::optional<SessionState>& session);
/// "working", "waiting for you", "idle" (the status payloads' label).
std::string chatModeLabel(SessionState::Mode mode);
/// The hand-off's stage, its running agents and background shells (the relay's).
struct ChatRelay {
  std::string stage;
  int64_t agents = 0;
  bool shell = false;
};
ChatRelay chatRelay(const std::string& sessionID);
/// "ask", "warn" or "" for a context size (the relay's level).
std::string chatContextLevel(int64_t tokens);
/// Crew rows of the session's sub-agents.
nlohmann::json chatCrew(const std::string& sessionID);
/// Existing file paths named in a text (the documents' paths).
nlohmann::json chatPaths(const std::string& text);

}  // namespace Panel
