#include "app/sources.h"

#include "library/commands.h"
#include "relay/idle_close.h"
#include "search/index.h"
#include "search/search.h"
#include "sessions/transcript.h"
#include "spend/account.h"
#include "terminals/discover.h"

AppSources AppSources::live() {
  AppSources s;
  s.units = [] { return Panel::units(); };
  s.chat = [](const std::string& sid, const std::vector<std::string>& pending, int want) {
    return Panel::chat(sid, pending, want);
  };
  s.alerts = [](const std::string& excluding) { return Panel::alerts(excluding); };
  s.agents = [] { return Panel::agents(); };
  s.book = [] { return Panel::book(); };
  s.works = [] { return Panel::works(); };
  s.asks = [] { return Panel::asks(); };
  s.liveAsks = [] { return Panel::liveAsks(); };
  s.spend = [] { return Panel::spend(); };
  s.refreshSpend = [](bool force) { Spend::refresh(force); };
  s.launchJobs = [] {
    Spend::refresh(true);
    Index::refresh(true);
  };
  s.terminals = [] { return Terminals::open(); };
  s.chores = [] {
    if (IdleClose::due()) IdleClose::sweep(Terminals::open());
  };
  s.reach = [](double time, const std::string& sid) { return Transcript::want(time, sid); };
  s.search = [](const std::string& query) {
    nlohmann::json found = Search::payload(query);
    return std::vector<nlohmann::json>{found["hits"], found["files"], found["titles"]};
  };
  s.indexing = [] { return static_cast<int64_t>(Index::pending()); };
  s.commands = [] { return Commands::payload(); };
  return s;
}
