#pragma once
// What the feed's own files share: the hooks other subsystems set.

#include <string>

namespace StateFeed {

/// The notification authorisation text set with `setAuthorization`, else "unknown".
std::string authorizationText();

}  // namespace StateFeed
