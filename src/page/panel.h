#pragma once
// Builders of the JSON payloads the page paints. Pure readers: callable from any thread.

#include <nlohmann/json.hpp>
#include <string>

namespace Panel {

/// Rack rows, one per open terminal, sorted.
nlohmann::json units();
/// Questions of the other terminals, shown above an open conversation.
nlohmann::json alerts(const std::string& excludingSessionID);
/// Every unmuted open question.
nlohmann::json liveAsks();
/// Sub-agent rows of all open terminals.
nlohmann::json agents();
/// Rows of the asks log.
nlohmann::json asks();
/// The chat payload of a session (null when it cannot be read).
nlohmann::json chat(const std::string& sessionID, const nlohmann::json& pendingTexts, int want);
/// The command book.
nlohmann::json book();
/// Outputs and the work folder.
nlohmann::json works();
/// The spend board.
nlohmann::json spend();

}  // namespace Panel
