#include "app/sources.h"

#include "app/search_command.h"
#include "library/commands.h"
#include "relay/idle_close.h"
#include "relay/relay.h"
#include "search/index.h"
#include "search/search.h"
#include "search/smart.h"
#include "search/titles.h"
#include "sessions/transcript.h"
#include "spend/account.h"
#include "terminals/discover.h"
#include "terminals/names.h"

namespace {

// The scan's chores, in this order; each reads the terminals afresh, since the one before
// may have typed into them.
void relayChore() {
  Relay::tick(Terminals::open());
}

void namesChore() {
  Names::tick(Terminals::listed());
}

const std::vector<void (*)()>& choreList() {
  static const std::vector<void (*)()> list = {relayChore, namesChore};
  return list;
}

}  // namespace

AppSources AppSources::live() {
  AppSources s;
  // Idle close is the last step of every relay pass, with the terminals and store it read.
  Relay::setSweep([](const std::vector<Terminal>& terminals, const Relay::Store& store) {
    IdleClose::sweep(terminals, IdleClose::stagesOf(store));
  });
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
    Titles::warm(400);
  };
  s.chores = [] {
    for (auto chore : choreList()) chore();
  };
  s.relayGo = [](const std::string& sid) { Relay::go(sid); };
  s.terminals = [] { return Terminals::open(); };
  s.reach = [](double time, const std::string& sid) { return Transcript::want(time, sid); };
  s.search = [](const std::string& query, const Terminals::Stop& stop) {
    nlohmann::json found = Search::payload(query, &stop);
    return std::vector<nlohmann::json>{found["hits"], found["files"], found["titles"]};
  };
  s.smart = [](const std::string& question) {
    return SmartSearch::run(question, smartOptions()).rows;
  };
  s.indexing = [] { return static_cast<int64_t>(Index::pending()); };
  s.commands = [] { return Commands::payload(); };
  s.menuState = [] { return Menu::read(); };
  return s;
}
