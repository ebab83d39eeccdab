#include "app/list_command.h"

#include <cstdio>

#include "base/lang.h"
#include "base/log.h"
#include "base/timefmt.h"
#include "feed/state_feed.h"
#include "sessions/state.h"
#include "terminals/discover.h"

namespace {

nlohmann::json stateJson(const SessionState& s) {
  return {
      {"id", s.id},
      {"title", s.title},
      {"cwd", s.cwd},
      {"project", s.project},
      {"mode", modeName(s.mode)},
      // A session with no event yet has no time to show.
      {"lastEvent", s.lastEvent <= Clock::kDistantPast
                        ? nlohmann::json(nullptr)
                        : nlohmann::json(TimeText::iso8601(s.lastEvent))},
      {"model", s.model},
      {"contextTokens", s.contextTokens},
      {"activity", s.activity},
      {"snippet", s.snippet},
      {"agentsRunning", s.agentsRunning},
  };
}

nlohmann::json terminalJson(const Terminal& t) {
  nlohmann::json state = nullptr;
  if (!t.sessionID.empty()) {
    if (auto s = Sessions::state(t.sessionID)) state = stateJson(*s);
  }
  return {
      {"tty", t.tty},
      {"slot", t.slot},
      {"pid", t.pid},
      {"uptime", t.uptime},
      {"sessionID", t.sessionID},
      {"windowTitle", t.windowTitle},
      {"waiting", t.waiting ? nlohmann::json(*t.waiting) : nlohmann::json(nullptr)},
      {"jobId", t.jobId},
      {"windowless", t.windowless},
      {"status", t.status},
      {"recordName", t.recordName},
      {"name", UserNames::of(t.sessionID)},
      {"state", state},
  };
}

}  // namespace

nlohmann::json listTerminals() {
  auto terminals = nlohmann::json::array();
  for (const auto& t : Terminals::open()) terminals.push_back(terminalJson(t));
  return {{"terminals", terminals}};
}

int runList() {
  // Texts from transcripts are not guaranteed to be valid UTF-8; replace rather than fail.
  std::string text = listTerminals().dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  if (std::puts(text.c_str()) == EOF || std::fflush(stdout) != 0) {
    Log::note(Lang::pick("could not write the list", "לא ניתן לכתוב את הרשימה"));
    return 1;
  }
  return 0;
}
