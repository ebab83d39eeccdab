#include "base/lang.h"
#include "feed/state_feed.h"
#include "library/documents.h"
#include "page/panel.h"
#include "page/panel_chat.h"

// What the chat takes from other subsystems: the question payloads, the rack's title and
// label, paths named in a text; and stand-ins for those that land separately (the
// hand-off, the crew, the produced files), neutral values until their owners arrive.
namespace Panel {

nlohmann::json chatAskOfQuestion(const PendingQuestion& question, const std::string& tty) {
  return askPayload(question, tty);
}

nlohmann::json chatAskOfTerminal(const Terminal& term) {
  auto ask = liveAsk(term);
  return ask ? *ask : nlohmann::json(nullptr);
}

std::string chatTerminalTitle(const Terminal& term, const std::optional<SessionState>& session) {
  return title(term, session, UserNames::of(term.sessionID));
}

std::string chatModeLabel(SessionState::Mode mode) {
  return label(mode);
}

ChatRelay chatRelay(const std::string&) {
  return ChatRelay{};
}

std::string chatContextLevel(int64_t) {
  return "";
}

nlohmann::json chatPaths(const std::string& text) {
  return Documents::paths(text);
}

}  // namespace Panel
