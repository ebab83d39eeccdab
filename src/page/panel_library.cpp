#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>

#include "base/files.h"
#include "base/lang.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "library/asks.h"
#include "library/outputs.h"
#include "library/works.h"
#include "page/panel.h"
#include "page/panel_chat.h"
#include "sessions/subagents.h"
#include "terminals/discover.h"

// The library's payloads: the crew (sub-agents), the questions file, the work files and a
// conversation's produced files.
namespace Panel {

namespace {
constexpr size_t kMostWorks = 500;

// Local "d.M HH:mm", or "HH:mm" for a time of today.
std::string whenText(Clock::Time at) {
  std::time_t now = static_cast<std::time_t>(Clock::now());
  std::time_t then = static_cast<std::time_t>(at);
  std::tm today{}, day{};
  localtime_r(&now, &today);
  localtime_r(&then, &day);
  if (today.tm_year == day.tm_year && today.tm_yday == day.tm_yday)
    return TimeText::hoursMinutes(at);
  return std::to_string(day.tm_mday) + "." + std::to_string(day.tm_mon + 1) + " " +
         TimeText::hoursMinutes(at);
}
}  // namespace

void to_json(nlohmann::json& out, const CrewRow& r) {
  out = {{"id", r.id},
         {"sid", r.sid},
         {"chat", r.chat},
         {"kind", r.kind},
         {"model", r.model},
         {"task", r.task},
         {"state", r.running ? "run" : "quiet"},
         {"stateLabel", r.stateLabel},
         {"age", r.age},
         {"since", r.since},
         {"doing", r.doing},
         {"say", r.say},
         {"steps", r.steps},
         {"context", r.context},
         {"depth", r.depth}};
}

CrewRow crewRow(const Agent& a) {
  CrewRow r;
  r.id = a.id;
  r.sid = a.sid;
  r.chat = a.chat;
  r.kind = a.kind;
  r.model = a.model;
  r.task = a.task.empty() ? std::string(Lang::pick("no description", "בלי תיאור")) : a.task;
  r.running = a.running;
  r.stateLabel = a.running ? Lang::pick("running", "רץ") : Lang::pick("done", "הסתיים");
  r.age = age(a.updated, 0);
  r.since = since(a.started);
  r.doing = a.doing;
  r.say = a.say;
  r.steps = a.steps;
  r.context = a.context < 1000 ? "" : std::to_string(a.context / 1000) + "k";
  r.depth = a.depth;
  return r;
}

std::vector<CrewRow> agents() {
  std::vector<Agents::Parent> parents;
  for (const Terminal& t : Terminals::open()) parents.push_back({t.sessionID, t.slot});
  std::vector<CrewRow> rows;
  for (const Agent& a : Agents::all(parents)) rows.push_back(crewRow(a));
  return rows;
}

std::vector<CrewRow> chatCrew(const std::string& sessionID) {
  std::vector<CrewRow> rows;
  for (const Agent& a : Agents::live(sessionID)) rows.push_back(crewRow(a));
  return rows;
}

void to_json(nlohmann::json& out, const AskRow& r) {
  out = {{"id", r.id},     {"urgency", r.urgency}, {"title", r.title},
         {"asker", r.asker}, {"since", r.since},     {"cost", r.cost},
         {"body", r.body},   {"answer", r.answer},   {"answered", !r.answer.empty()}};
}

AskRow askRow(const Ask& a) {
  return {a.id, a.urgency, a.title, a.asker, a.since, a.cost, a.body, a.answer};
}

std::vector<AskRow> asks() {
  std::vector<AskRow> rows;
  for (const Ask& a : Asks::all()) rows.push_back(askRow(a));
  return rows;
}

std::string sizeText(int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + Lang::pick("B", "ב");
  if (bytes < 1048576) return std::to_string(bytes / 1024) + "K";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1fM", static_cast<double>(bytes) / 1048576.0);
  return buf;
}

std::string span(Clock::Time modified) {
  double seconds = Clock::now() - modified;
  if (seconds < 86400) return "day";
  if (seconds < 604800) return "week";
  if (seconds < 2592000) return "month";
  return "old";
}

void to_json(nlohmann::json& out, const WorkRow& r) {
  out = {{"path", r.path},       {"name", r.name},     {"kind", r.kind},
         {"project", r.project}, {"folder", r.folder}, {"age", r.age},
         {"size", r.size},       {"span", r.span}};
}

void to_json(nlohmann::json& out, const WorksList& list) {
  out = {{"rows", list.rows}, {"projects", list.projects}};
}

WorkRow workRow(const Work& w, const std::string& top) {
  std::string folder = w.path;
  if (Text::startsWith(folder, top + "/")) folder = folder.substr(top.size() + 1);
  auto slash = folder.rfind('/');
  folder = slash == std::string::npos ? "" : folder.substr(0, slash);
  return {w.path,         w.name,     w.kind, w.project, folder, age(w.modified, 0),
          sizeText(w.size), span(w.modified)};
}

WorksList works(std::vector<Work> all, const std::string& top) {
  if (all.size() > kMostWorks) all.resize(kMostWorks);
  std::set<std::string> projects;
  WorksList out;
  for (const Work& w : all) {
    projects.insert(w.project);
    out.rows.push_back(workRow(w, top));
  }
  out.projects.assign(projects.begin(), projects.end());
  return out;
}

WorksList works() { return works(Works::everything(), Works::root()); }

nlohmann::json sessionOutputs(const std::string& sessionID) {
  nlohmann::json rows = nlohmann::json::array();
  int n = 0;
  for (const Output& o : Outputs::of(sessionID)) {
    auto attrs = Files::attributes(o.path);
    std::string kind = Works::kind(o.path);
    if (kind.empty()) kind = Text::lower(Files::extension(o.path));
    rows.push_back({{"n", ++n},
                    {"path", o.path},
                    {"name", Text::lastComponent(o.path)},
                    {"kind", kind},
                    {"when", whenText(o.at)},
                    {"size", attrs ? attrs->size : 0}});
  }
  return rows;
}

}  // namespace Panel
