#include "page/muted.h"

// The muted store lands with the status payloads.
namespace Muted {
std::string stamp(std::optional<Clock::Time>, const std::string&) { return ""; }
std::map<std::string, std::string> all() { return {}; }
bool is(const std::string&, const std::string&) { return false; }
void set(const std::string&, const std::optional<std::string>&) {}
}  // namespace Muted
