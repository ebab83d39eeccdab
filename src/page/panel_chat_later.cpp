#include "base/lang.h"
#include "feed/state_feed.h"
#include "library/documents.h"
#include "page/panel.h"
#include "page/panel_chat.h"
#include "relay/relay.h"

// What the chat takes from other subsystems: the question payloads, the rack's title and
// label, the hand-off's stage and level, paths named in a text; and stand-ins for those that
// land separately (the crew, the produced files), neutral values until their owners arrive.
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

ChatRelay chatRelay(const std::string& sessionID) {
  ChatRelay out;
  out.stage = Relay::stage(sessionID).value_or("");
  if (!out.stage.empty()) {
    out.agents = Relay::agents(sessionID);
    out.shell = Relay::shellOut(sessionID);
  }
  return out;
}

std::string chatContextLevel(int64_t tokens, const std::string& model, const std::string& chosen) {
  return Relay::level(tokens, model, chosen);
}

nlohmann::json chatPaths(const std::string& text) {
  return Documents::paths(text);
}

}  // namespace Panel
