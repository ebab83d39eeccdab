// The paint payload of every view, made by the real row builders from records and sent
// through the application's own paint. With VELMO_PAYLOADS_DIR set, each is also written
// there as VIEW.json, for the page test that paints them in a real browser: the page and
// the builders then meet on the same fields, and a field renamed on one side fails there.

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/app_test_support.h"
#include "search/search.h"
#include "spend/board.h"

namespace {

PendingQuestion question(const std::string& sid) {
  PendingQuestion q;
  q.sid = sid;
  q.toolID = "toolu_1";
  q.kind = "ask";
  q.context = "Two ways would work here.";
  AskPart part;
  part.question = "Which parser should it use?";
  part.header = "parser";
  part.choices = {{"Hand-written", "small and fast"}, {"Generated", "from the grammar"}};
  q.parts = {part};
  return q;
}

PendingQuestion plan(const std::string& sid) {
  PendingQuestion q;
  q.sid = sid;
  q.toolID = "toolu_2";
  q.kind = "plan";
  q.plan = "1. Read the grammar\n2. Write the parser";
  return q;
}

Terminals::Picker screenPrompt(const std::string& tty) {
  Terminals::Picker p;
  p.tty = tty;
  p.question = "Allow this command?";
  p.options = {{"1", "Yes", ""}, {"2", "No", "and tell the agent why"}};
  p.freeRow = 3;
  return p;
}

Terminal terminalOf(const std::string& slot, const std::string& sid) {
  Terminal t;
  t.tty = "/dev/pts/" + std::to_string(std::stoi(slot));
  t.slot = slot;
  t.pid = 4000 + std::stoi(slot);
  t.uptime = 600;
  t.sessionID = sid;
  return t;
}

SessionState stateOf(const std::string& sid, SessionState::Mode mode, Clock::Time at) {
  SessionState s;
  s.id = sid;
  s.title = "work of " + sid;
  s.cwd = "/home/dev/work/" + sid;
  s.project = sid;
  s.mode = mode;
  s.lastEvent = at;
  s.model = "Opus";
  s.modelID = "claude-opus-4-5";
  s.contextTokens = 152000;
  s.activity = "Editing";
  s.snippet = "Writing the parser";
  s.agentsRunning = 1;
  return s;
}

Agent agent(const std::string& id, bool running, Clock::Time at) {
  Agent a;
  a.id = id;
  a.sid = "s1";
  a.chat = "001";
  a.kind = "Explore";
  a.task = running ? "Find the grammar" : "";
  a.model = "Opus";
  a.started = at - 90;
  a.updated = at - 5;
  a.running = running;
  a.depth = 1;
  a.doing = running ? "Searching the code" : "";
  a.context = 23000;
  a.steps = 4;
  return a;
}

Work work(const std::string& path, const std::string& project, Clock::Time at) {
  Work w;
  w.path = path;
  w.name = path.substr(path.rfind('/') + 1);
  w.kind = "document";
  w.project = project;
  w.modified = at;
  w.size = 2048;
  return w;
}

class PagePayloads : public AppTest {
 protected:
  void SetUp() override {
    Clock::Time now = clock.now();
    Terminal busy = terminalOf("001", "s1"), asking = terminalOf("002", "s2"),
             planning = terminalOf("003", "s3"), screen = terminalOf("004", "s4"),
             bare = terminalOf("005", "");
    Panel::RowExtras workingExtras;
    workingExtras.share = 0.25;
    workingExtras.output = 12000;
    workingExtras.chain = "s0 → s1";
    workingExtras.relay = "asked";
    workingExtras.relayAgents = 1;
    workingExtras.ctxLevel = "warn";
    units.push_back(Panel::unitRow(busy, stateOf("s1", SessionState::Mode::working, now - 20),
                                   workingExtras));
    Panel::RowExtras askExtras;
    askExtras.ask = Panel::askPayload(question("s2"), asking.tty);
    askExtras.name = "the parser";
    units.push_back(
        Panel::unitRow(asking, stateOf("s2", SessionState::Mode::waiting, now - 60), askExtras));
    Panel::RowExtras planExtras;
    planExtras.ask = Panel::askPayload(plan("s3"), planning.tty);
    units.push_back(
        Panel::unitRow(planning, stateOf("s3", SessionState::Mode::waiting, now - 90), planExtras));
    Panel::RowExtras screenExtras;
    screenExtras.ask = Panel::screenAsk(screenPrompt(screen.tty), screen.tty);
    units.push_back(
        Panel::unitRow(screen, stateOf("s4", SessionState::Mode::quiet, now - 4000), screenExtras));
    units.push_back(Panel::unitRow(bare, std::nullopt, {}));
    Panel::sortUnits(units);

    Terminals::PickerScan scan;
    scan.readable = true;
    live = nlohmann::json::array();
    if (auto a = Panel::liveAsk(asking, scan, {}, question("s2"))) live.push_back(*a);

    crew = {Panel::crewRow(agent("a1", true, now)), Panel::crewRow(agent("a2", false, now))};
    Command review{"reviewer", "reads code", "agent", false};
    Command own{"deploy", "", "command", false};
    Command gitPush{"git-push", "Push", "skill", false};
    Command gitPull{"git-pull", "Pull", "skill", false};
    book = Panel::book({review, own, gitPush, gitPull});
    const std::string top = home->path() + "/works";
    works = Panel::works({work(top + "/alpha/notes.md", "alpha", now - 100),
                          work(top + "/beta/plan.pdf", "beta", now - 9 * 86400)},
                         top);
    Ask logged;
    logged.id = "q1";
    logged.urgency = "red";
    logged.title = "Which database?";
    logged.asker = "s1";
    logged.since = "10:02";
    logged.cost = "an hour";
    logged.body = "Postgres or SQLite?";
    asks = {Panel::askRow(logged), Panel::askRow({})};
    asks[1].answer = "SQLite";
    spend = Spend::panel({{"s1", "work of s1"}});

    Panel::Chat c;
    c.sid = "s1";
    c.tty = busy.tty;
    c.slot = busy.slot;
    c.live = true;
    c.title = "work of s1";
    c.state = "run";
    c.stateLabel = "working";
    c.model = "Opus";
    c.context = "152k";
    c.lines = {{"you", "Write the parser", "", "10:00", int64_t{1796724000}, nlohmann::json::array(), false},
               {"claude", "Reading the grammar first.", "", "10:01", int64_t{1796724060}, nlohmann::json::array(), false},
               {"tool", "Read", "grammar.txt", "10:01", int64_t{1796724061}, nlohmann::json::array(), false}};
    c.crew = crew;
    c.history = {"Write the parser"};
    c.key = "k1";
    chats["s1"] = c;

    Search::Conversation hit;
    hit.sid = "s1";
    hit.title = "work of s1";
    hit.project = "s1";
    hit.when = "8.12 10:00";
    hit.sort = 1796724000;
    hit.total = 1;
    hit.hits = {{"s1", "s1", "you", 1796724000, "Write the ", "parser", ""}};
    found = [this, top](const std::string&) {
      return std::vector<nlohmann::json>{
          nlohmann::json::array({Search::toJson(hit_)}),
          nlohmann::json::array({Panel::workRow(work(top + "/alpha/parser.md", "alpha",
                                                     clock.now() - 100),
                                                top)}),
          nlohmann::json::array()};
    };
    hit_ = hit;
  }

  void makeWith() {
    auto s = sources();
    s.agents = [this] { return crew; };
    s.book = [this] { return book; };
    s.works = [this] { return works; };
    s.asks = [this] { return asks; };
    s.liveAsks = [this] { return live; };
    s.spend = [this] { return spend; };
    AppDelegate::Hosts h;
    h.page = &page;
    h.main = &main;
    h.dialogs = &dialogs;
    h.background = bg.poster();
    app = AppDelegate::make(h, s);
    app->pageLoaded();
    settle();
  }

  nlohmann::json paintNow() {
    app->run("refresh");
    settle();
    return page.lastPaint();
  }

  std::vector<Panel::CrewRow> crew;
  std::vector<Panel::BookGroup> book;
  Panel::WorksList works;
  std::vector<Panel::AskRow> asks;
  nlohmann::json live, spend;
  Search::Conversation hit_;
};

}  // namespace

TEST_F(PagePayloads, EveryViewIsPaintedWithItsBuiltRows) {
  makeWith();
  std::map<std::string, nlohmann::json> painted;
  painted["rack"] = paintNow();
  for (auto [v, name] : {std::pair{View::crew, "crew"},
                         {View::book, "book"},
                         {View::works, "works"},
                         {View::asks, "asks"},
                         {View::spend, "spend"}}) {
    app->views = Overlays{};
    app->views.set(v, true);
    painted[name] = paintNow();
  }
  app->views = Overlays{};
  app->search.setOpen(true);
  app->search.setQuery("parser");
  app->search.run("parser");
  settle();
  painted["search"] = paintNow();
  app->search.setOpen(false);
  app->conversation.setOpenSID("s1");
  painted["chat"] = paintNow();
  std::filesystem::create_directories(home->path() + "/notes");
  std::ofstream(home->path() + "/notes/a.md") << "# Notes\n\nThe parser reads the grammar.\n";
  app->loadDoc(home->path() + "/notes/a.md", true);
  settle();
  painted["reader"] = paintNow();

  for (const auto& [name, p] : painted) {
    EXPECT_EQ(p["view"], name) << name;
    if (name != "rack" && name != "chat" && name != "reader") {
      EXPECT_TRUE(p.contains(name)) << name;
    }
  }
  EXPECT_EQ(painted["rack"]["units"].size(), 5u);
  EXPECT_EQ(painted["crew"]["crew"].size(), 2u);
  EXPECT_EQ(painted["asks"]["asks"].size(), 2u);
  EXPECT_EQ(painted["asks"]["live"].size(), 1u);
  EXPECT_EQ(painted["works"]["works"]["rows"].size(), 2u);
  EXPECT_EQ(painted["search"]["search"]["hits"].size(), 1u);
  EXPECT_EQ(painted["chat"]["chat"]["lines"].size(), 3u);
  EXPECT_TRUE(painted["reader"].contains("doc"));

  const char* dir = std::getenv("VELMO_PAYLOADS_DIR");
  if (dir == nullptr) return;
  std::filesystem::create_directories(dir);
  for (const auto& [name, p] : painted) {
    std::ofstream out(std::string(dir) + "/" + name + ".json");
    out << p.dump(2);
    ASSERT_TRUE(out.good()) << name;
  }
}
