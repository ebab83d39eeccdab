#include "page/panel.h"

// Payloads whose subsystems have not landed yet: empty values of the right shape.
namespace Panel {
nlohmann::json agents() { return nlohmann::json::array(); }
nlohmann::json asks() { return nlohmann::json::array(); }
nlohmann::json works() { return nlohmann::json::object(); }
}  // namespace Panel
