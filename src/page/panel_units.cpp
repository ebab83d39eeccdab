#include "page/panel.h"

// The rack rows land with the status payloads.
namespace Panel {
nlohmann::json units() { return nlohmann::json::array(); }
nlohmann::json alerts(const std::string&) { return nlohmann::json::array(); }
nlohmann::json liveAsks() { return nlohmann::json::array(); }
}  // namespace Panel
