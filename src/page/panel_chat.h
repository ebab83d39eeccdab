#pragma once
// The chat payload's helpers: the composer's history, the session's produced files,
// moving between live conversations, and the values the header shows.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "page/panel.h"
#include "sessions/questions.h"
#include "sessions/state.h"
#include "sessions/transcript.h"
#include "terminals/terminal.h"

namespace Panel {

/// One line of the chat log as the page draws it.
struct ChatLine {
  std::string role;  ///< "you", "claude" or "tool"
  std::string text;
  std::string arg;
  std::string when;           ///< "HH:mm", empty without a time
  std::optional<int64_t> ts;  ///< seconds since 1970; none on a line still pending
  nlohmann::json paths = nlohmann::json::array();
  bool pending = false;  ///< sent but not in the transcript yet; the key only when true
};

/// The chat payload of one conversation: every key is always there.
struct Chat {
  std::string sid;
  std::string tty;   ///< "" when no open terminal runs the session
  std::string slot;  ///< "—" without a terminal
  bool live = false;
  std::string title;
  std::string state;  ///< "run", "wait", "quiet", or "closed" without a terminal
  std::string stateLabel;
  std::string model;
  std::string context;
  std::string ctxLevel;
  std::string relay;
  int64_t relayAgents = 0;
  bool relayShell = false;
  std::vector<ChatLine> lines;
  std::vector<CrewRow> crew;
  bool atStart = false;
  std::vector<std::string> history;
  std::string key;  ///< changes whenever the page must redraw the log
  nlohmann::json ask = nlohmann::json::object();
  nlohmann::json outputs = nlohmann::json::array();
};

void to_json(nlohmann::json& out, const ChatLine& line);
void to_json(nlohmann::json& out, const Chat& chat);

/// The chat payload of a session; none when it has neither a terminal nor a transcript.
std::optional<Chat> chat(const std::string& sessionID, const std::vector<std::string>& pendingTexts,
                         int want);

/// The user's recent inputs, newest first, for the composer's up-arrow history (at most 30).
std::vector<std::string> history(const std::string& sessionID);
/// The files the session produced, one row each.
nlohmann::json sessionOutputs(const std::string& sessionID);

/// The conversation's title: the rack's title with a terminal; without one the session's
/// title, then its project, else "closed conversation".
std::string chatTitle(const Terminal* term, const std::optional<SessionState>& session);
/// "999 context", "153k context"; empty for no count.
std::string contextText(int64_t tokens);
/// One line of a reading as the page draws it.
ChatLine lineRow(const Line& line);

/// The window after "more": 24, 80, 250, 800, then the whole conversation (100000).
int nextWant(int current);

/// Session ids of the rack rows that are not quiet.
std::set<std::string> liveSessions(const std::vector<Unit>& units);
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
/// "ask", "warn" or "" for a context size on a model (the relay's level).
std::string chatContextLevel(int64_t tokens, const std::string& model, const std::string& chosen);
/// Crew rows of the session's sub-agents.
std::vector<CrewRow> chatCrew(const std::string& sessionID);
/// Existing file paths named in a text (the documents' paths).
nlohmann::json chatPaths(const std::string& text);

}  // namespace Panel
