#include "fuzz/targets.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>

#include "app/cmd.h"
#include "app/app_delegate.h"
#include "base/caches.h"
#include "base/clock.h"
#include "control/control.h"
#include "library/asks.h"
#include "library/commands.h"
#include "library/documents.h"
#include "library/outputs.h"
#include "search/index.h"
#include "sessions/questions_read.h"
#include "sessions/subagents.h"
#include "sessions/tail.h"
#include "sessions/transcript.h"
#include "spend/harvest.h"
#include "spend/quota.h"
#include "support/home.h"
#include "support/manual_queue.h"
#include "support/recording_page.h"
#include "support/terminal_rig.h"
#include "terminals/picker.h"

namespace Fuzz {

namespace {

std::string_view bytes(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// One scratch folder per process for the parsers that read a path; every run writes over the
// same files, so a long fuzzing run leaves nothing behind but this folder.
class Scratch {
 public:
  Scratch() : root(makeTempDir("velmo-fuzz")) {}
  ~Scratch() { removeTree(root); }
  std::string write(const std::string& name, std::string_view text) const {
    std::string path = root + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(text.data(), text.size());
    return path;
  }

 private:
  std::string root;
};

const Scratch& scratch() {
  static Scratch s;
  return s;
}

// The lines of a text, for the parsers that take one record at a time.
std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// The first byte chooses between reading from the start of a file and from inside it, so
// both ways of reading a tail are tried.
bool cutFlag(std::string_view& text) {
  if (text.empty()) return false;
  bool cut = (static_cast<unsigned char>(text[0]) & 1) != 0;
  text.remove_prefix(1);
  return cut;
}

constexpr char kSid[] = "0b7f6a52-1c1d-4c38-9d59-6d3f1e2b9a10";

}  // namespace

void screen(const uint8_t* data, size_t size) {
  std::string text(bytes(data, size));
  auto picker = Terminals::parseScreen(text, "/dev/pts/1");
  if (!picker) return;
  Terminals::signature(*picker);
  // The labels the agent was given may be longer than the screen's, or shorter.
  std::vector<std::string> full;
  for (const auto& o : picker->options) full.push_back(o.label + " " + o.detail);
  Terminals::completeLabels(*picker, full);
  Terminals::completeLabels(*picker, {"", "a"});
}

void sessionTail(const uint8_t* data, size_t size) {
  auto text = bytes(data, size);
  bool cut = cutFlag(text);
  auto summary = Sessions::summarise(std::string(text), cut, 1.8e9);
  Sessions::build(kSid, summary, 1.8e9 + 30);
  Sessions::clean(std::string(text));
}

void transcript(const uint8_t* data, size_t size) {
  auto text = bytes(data, size);
  bool cut = cutFlag(text);
  auto reading = Transcript::readBytes(text, cut, 24);
  Transcript::collapse(std::move(reading.lines));
  Transcript::withoutTerminalCodes(text);
  Transcript::withoutSystemBlocks(text);
  Transcript::human(text);
}

void questions(const uint8_t* data, size_t size) {
  auto text = bytes(data, size);
  bool cut = cutFlag(text);
  Questions::find(text, cut, kSid, 1.8e9);
  Questions::prose(text, text.size(), 0);
  Questions::prose(text, text.size() / 2, text.size() / 4);
}

void subagents(const uint8_t* data, size_t size) {
  Caches::emptyAll();  // the meta file is read once per size and time
  auto text = bytes(data, size);
  std::string path = scratch().write("agent-a1.jsonl", text);
  scratch().write("agent-a1.meta.json", text);
  Agents::metadata(path);
  Agents::beat(path);
  Agents::started(path, std::nullopt, 1.8e9);
}

void harvest(const uint8_t* data, size_t size) {
  static Spend::Harvester harvester;  // one per thread, as the spend reader keeps it
  auto text = bytes(data, size);
  std::string path = scratch().write("harvest.jsonl", text);
  const auto n = static_cast<int64_t>(text.size());
  harvester.run(path, {0, n, n, true});
  // A stretch that begins inside a line, and one whose limit cuts the last line short.
  harvester.run(path, {n / 3, n, n, false});
  harvester.run(path, {0, n / 2, n * 3 / 4, true});
}

void index(const uint8_t* data, size_t size) {
  auto text = bytes(data, size);
  Index::manifestText(Index::parseManifest(text));
  for (auto line : lines(text)) {
    Index::shardLine(line);
    Index::projectLabel(line);
  }
  Index::clean(text);
}

void outputs(const uint8_t* data, size_t size) {
  ScopedHome home;
  Caches::emptyAll();
  home.write(std::string(".claude/projects/-tmp-work/") + kSid + ".jsonl",
             std::string(bytes(data, size)));
  Outputs::of(kSid);
}

void frontMatter(const uint8_t* data, size_t size) {
  std::string text(bytes(data, size));
  Commands::descriptionIn(text);
  std::string path = scratch().write("note.md", text);
  Commands::frontMatter(path);
  Documents::read(path);
  Documents::paths(text);
}

void asks(const uint8_t* data, size_t size) {
  std::string text(bytes(data, size));
  auto all = Asks::parse(text);
  // Answering rewrites the text around the section, the step most likely to cut wrongly.
  if (!all.empty()) Asks::answered(text, all.front().id, "yes\nand more");
  Asks::answered(text, "missing", "no");
}

void control(const uint8_t* data, size_t size) {
  // A world with one agent showing a question, so "answer" and "send" reach a terminal.
  TerminalRig rig;
  rig.agent(300, 3, kSid);
  rig.host.show("/dev/pts/3", Screens::ask("Which colour?", {"Blue", "Green"}));
  Control::setAskOrlen([](const std::string&, const std::string&, std::function<void(bool)> reply) {
    reply(false);
  });
  auto request = nlohmann::json::parse(bytes(data, size), nullptr, false);
  if (!request.is_discarded())
    Control::handle(request).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  Control::setAskOrlen(nullptr);
}

void quota(const uint8_t* data, size_t size) {
  ScopedHome home;
  Caches::emptyAll();
  std::string path = Quota::path();
  home.write(path.substr(home.path().size() + 1), std::string(bytes(data, size)));
  Quota::payload();
}

namespace {

class SilentDialogs final : public Dialogs {
 public:
  void alert(const Alert&, std::function<void(int)> done) override { done(-1); }
  void present() override {}
};

// The application wired to fakes. Jobs sent off the main thread are never run: that is
// where an act opens links, starts terminals or writes files, none of which a fuzzer may do.
struct PageRig {
  ScopedHome home;
  ScriptedHost host;
  RecordingPage page;
  ManualQueue main, background;
  SilentDialogs dialogs;
  std::shared_ptr<AppDelegate> app;

  PageRig() {
    Caches::emptyAll();
    AppDelegate::Sources s;
    s.units = [] { return std::vector<Panel::Unit>{}; };
    s.chat = [](const std::string&, const std::vector<std::string>&, int) {
      return std::optional<Panel::Chat>();
    };
    s.alerts = [](const std::string&) { return nlohmann::json::array(); };
    auto none = [] { return nlohmann::json::array(); };
    s.liveAsks = none;
    s.agents = [] { return std::vector<Panel::CrewRow>{}; };
    s.book = [] { return std::vector<Panel::BookGroup>{}; };
    s.works = [] { return Panel::WorksList{}; };
    s.asks = [] { return std::vector<Panel::AskRow>{}; };
    s.spend = [] { return nlohmann::json::object(); };
    s.refreshSpend = [](bool) {};
    s.launchJobs = [] {};
    s.relayGo = [](const std::string&) {};
    s.terminals = [] { return std::vector<Terminal>{}; };
    s.reach = [](double, const std::string&) { return 24; };
    s.smart = [](const std::string&) { return std::optional<nlohmann::json>(); };
    s.search = [](const std::string&, const Terminals::Stop&) { return std::vector<nlohmann::json>{}; };
    s.indexing = [] { return int64_t{0}; };
    s.menuState = [] { return Menu::read(); };
    s.commands = [] { return nlohmann::json::array(); };
    AppDelegate::Hosts h;
    h.page = &page;
    h.main = &main;
    h.dialogs = &dialogs;
    h.background = background.poster();
    app = AppDelegate::make(h, s);
  }
};

}  // namespace

void page(const uint8_t* data, size_t size) {
  std::string text(bytes(data, size));
  auto message = nlohmann::json::parse(text, nullptr, false);
  // The menu's acts change the desktop's files and settings at once, on the main thread;
  // their messages are checked against the table but not run.
  if (message.is_object() && message.value("act", nlohmann::json()) == "menu") {
    if (const auto* act = Cmd::fromPage("menu")) Request::fault(act->args, message);
    return;
  }
  PageRig rig;
  rig.app->pageLoaded();
  rig.app->receiveText(text);
  for (int i = 0; i < 4 && rig.main.runQueued() > 0; ++i) {
  }
}

const std::vector<Target>& targets() {
  static const std::vector<Target> all = {
      {"screen", screen},       {"session_tail", sessionTail}, {"transcript", transcript},
      {"questions", questions}, {"subagents", subagents},      {"harvest", harvest},
      {"index", index},         {"outputs", outputs},          {"front_matter", frontMatter},
      {"asks", asks},           {"control", control},          {"quota", quota},
      {"page", page},
  };
  return all;
}

const Target* find(const std::string& name) {
  for (const auto& t : targets())
    if (t.name == name) return &t;
  return nullptr;
}

}  // namespace Fuzz
