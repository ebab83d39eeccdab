// The spend board as the page paints it: the account's board with the limits and the last
// five hours, and the sessions open in terminals under the titles the rack gives them.

#include "page/panel.h"
#include "sessions/state.h"
#include "spend/board.h"
#include "terminals/discover.h"

namespace Panel {

nlohmann::json spend() {
  Spend::Live live;
  for (const auto& t : Terminals::open())
    if (!t.sessionID.empty()) live[t.sessionID] = title(t, Sessions::state(t.sessionID));
  return Spend::panel(live);
}

}  // namespace Panel
