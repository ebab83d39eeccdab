#include "page/panel_chat.h"

#include "base/lang.h"

// Stand-ins for what the chat takes from subsystems that land separately: the question
// payloads and the rack's title and label (status payloads), the hand-off (relay), the
// crew (sub-agents), paths named in a text (documents) and the produced files (outputs).
// Each gives a neutral value, or the fallback that needs nothing else, until its owner
// replaces it with a call into the real thing.
namespace Panel {

nlohmann::json chatAskOfQuestion(const PendingQuestion&, const std::string&) {
  return nullptr;
}

nlohmann::json chatAskOfTerminal(const Terminal&) {
  return nullptr;
}

std::string chatTerminalTitle(const Terminal& term, const std::optional<SessionState>& session) {
  if (session && !session->title.empty()) return session->title;
  if (!term.windowTitle.empty()) return term.windowTitle;
  if (session && !session->project.empty()) return session->project;
  return Lang::pick("terminal ", "מסוף ") + term.slot;
}

std::string chatModeLabel(SessionState::Mode mode) {
  switch (mode) {
    case SessionState::Mode::working:
      return Lang::pick("working", "עובד");
    case SessionState::Mode::waiting:
      return Lang::pick("waiting for you", "ממתין לך");
    case SessionState::Mode::quiet:
      return Lang::pick("idle", "דומם");
  }
  return Lang::pick("idle", "דומם");
}

ChatRelay chatRelay(const std::string&) {
  return ChatRelay{};
}

std::string chatContextLevel(int64_t) {
  return "";
}

nlohmann::json chatCrew(const std::string&) {
  return nlohmann::json::array();
}

nlohmann::json chatPaths(const std::string&) {
  return nlohmann::json::array();
}

nlohmann::json sessionOutputs(const std::string&) {
  return nlohmann::json::array();
}

}  // namespace Panel
