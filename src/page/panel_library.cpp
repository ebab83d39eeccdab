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

nlohmann::json agentRow(const Agent& a) {
  return {
      {"id", a.id},
      {"sid", a.sid},
      {"chat", a.chat},
      {"kind", a.kind},
      {"model", a.model},
      {"task", a.task.empty() ? std::string(Lang::pick("no description", "בלי תיאור")) : a.task},
      {"state", a.running ? "run" : "quiet"},
      {"stateLabel", a.running ? Lang::pick("running", "רץ") : Lang::pick("done", "הסתיים")},
      {"age", age(a.updated, 0)},
      {"since", since(a.started)},
      {"doing", a.doing},
      {"say", a.say},
      {"steps", a.steps},
      {"context", a.context < 1000 ? "" : std::to_string(a.context / 1000) + "k"},
      {"depth", a.depth}};
}

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

nlohmann::json agents() {
  std::vector<Agents::Parent> parents;
  for (const Terminal& t : Terminals::open()) parents.push_back({t.sessionID, t.slot});
  nlohmann::json rows = nlohmann::json::array();
  for (const Agent& a : Agents::all(parents)) rows.push_back(agentRow(a));
  return rows;
}

nlohmann::json chatCrew(const std::string& sessionID) {
  nlohmann::json rows = nlohmann::json::array();
  for (const Agent& a : Agents::live(sessionID)) rows.push_back(agentRow(a));
  return rows;
}

nlohmann::json asks() {
  nlohmann::json rows = nlohmann::json::array();
  for (const Ask& a : Asks::all())
    rows.push_back({{"id", a.id},
                    {"urgency", a.urgency},
                    {"title", a.title},
                    {"asker", a.asker},
                    {"since", a.since},
                    {"cost", a.cost},
                    {"body", a.body},
                    {"answer", a.answer},
                    {"answered", !a.answer.empty()}});
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

nlohmann::json workRow(const Work& w, const std::string& top) {
  std::string folder = w.path;
  if (Text::startsWith(folder, top + "/")) folder = folder.substr(top.size() + 1);
  auto slash = folder.rfind('/');
  folder = slash == std::string::npos ? "" : folder.substr(0, slash);
  return {{"path", w.path},           {"name", w.name},          {"kind", w.kind},
          {"project", w.project},     {"folder", folder},        {"age", age(w.modified, 0)},
          {"size", sizeText(w.size)}, {"span", span(w.modified)}};
}

nlohmann::json works() {
  auto all = Works::everything();
  if (all.size() > kMostWorks) all.resize(kMostWorks);
  const std::string top = Works::root();
  std::set<std::string> projects;
  nlohmann::json rows = nlohmann::json::array();
  for (const Work& w : all) {
    projects.insert(w.project);
    rows.push_back(workRow(w, top));
  }
  return {{"rows", rows},
          {"projects", nlohmann::json(std::vector<std::string>(projects.begin(), projects.end()))}};
}

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
