#include "spend/board.h"

#include <algorithm>
#include <set>
#include <vector>

#include "spend/account.h"
#include "spend/keys.h"
#include "spend/quota.h"
#include "spend/rates.h"

namespace Spend {

namespace {

using Json = nlohmann::json;

enum Span { kToday, kWeek, kAll, kSpans };
constexpr const char* kSpanNames[kSpans] = {"today", "week", "all"};
constexpr double kFiveHours = 5 * 3600;

struct SessionSpans {
  std::string sid, project;
  ModelMap spans[kSpans];
};

struct Bar {
  std::string key, label;
  double weight = 0;
  int64_t output = 0;
};

double share(double part, double whole) {
  return whole > 0 ? part / whole : 0;
}

Json spanJson(const std::vector<SessionSpans>& sessions, Span span, const Live& live) {
  struct Row {
    const SessionSpans* s;
    double weight;
    Counters sum;
    std::string model;  // the model that weighs most in the span
  };
  std::vector<Row> rows;
  ModelMap models;
  for (const auto& s : sessions) {
    const ModelMap& m = s.spans[span];
    if (m.empty()) continue;
    Row row{&s, 0, total(m), ""};
    double heaviest = -1;
    for (const auto& [model, c] : m) {
      double w = cost(model, c);
      row.weight += w;
      if (w > heaviest) {
        heaviest = w;
        row.model = model;
      }
      models[model] += c;
    }
    rows.push_back(std::move(row));
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return a.weight != b.weight ? a.weight > b.weight : a.s->sid < b.s->sid;
  });
  double weight = cost(models);
  Counters sum = total(models);

  Json list = Json::array();
  for (size_t i = 0; i < rows.size() && i < kBoardSessions; ++i) {
    const Row& r = rows[i];
    auto open = live.find(r.s->sid);
    list.push_back({{"sid", r.s->sid},
                    {"project", r.s->project},
                    {"title", open != live.end() ? open->second : r.s->project},
                    {"open", open != live.end()},
                    {"weight", r.weight},
                    {"share", share(r.weight, weight)},
                    {"out", r.sum.output},
                    {"calls", r.sum.calls},
                    {"model", hebrewModel(r.model)}});
  }
  struct ModelRow {
    std::string id;
    double weight;
    CostParts parts;
  };
  std::vector<ModelRow> byModel;
  for (const auto& [model, c] : models) {
    CostParts p = costParts(model, c);
    byModel.push_back({model, p.sum(), p});
  }
  std::sort(byModel.begin(), byModel.end(), [](const ModelRow& a, const ModelRow& b) {
    return a.weight != b.weight ? a.weight > b.weight : a.id < b.id;
  });
  Json modelList = Json::array();
  for (const auto& m : byModel) {
    double w = m.parts.sum();
    modelList.push_back({{"model", hebrewModel(m.id)},
                         {"id", m.id},
                         {"weight", m.weight},
                         {"share", share(m.weight, weight)},
                         {"parts",
                          {{"input", share(m.parts.input, w)},
                           {"write", share(m.parts.write, w)},
                           {"read", share(m.parts.read, w)},
                           {"output", share(m.parts.output, w)}}}});
  }
  return {{"sessions", list},
          {"models", modelList},
          {"weight", weight},
          {"input", sum.input},
          {"output", sum.output},
          {"read", sum.read},
          {"write", sum.write5 + sum.write1h},
          {"calls", sum.calls}};
}

}  // namespace

Json board(const Live& live) {
  Clock::Time now = Clock::now();
  std::string today = dayKey(now);
  std::vector<Bar> bars;  // oldest first
  for (int back = kDaysKept - 1; back >= 0; --back) {
    double noon = daysBefore(now, back);
    bars.push_back({dayKey(noon), dayLabel(noon)});
  }
  std::set<std::string> week;
  for (int back = 0; back < 7; ++back) week.insert(dayKey(daysBefore(now, back)));

  std::vector<SessionSpans> sessions;
  account().inspect([&](const Store& store) {
    for (const auto& [sid, s] : store.sessions) {
      SessionSpans spans{sid, s.project, {}};
      if (auto d = s.daily.find(today); d != s.daily.end()) spans.spans[kToday] = d->second;
      for (const auto& [day, models] : s.daily) {
        if (week.count(day))
          for (const auto& [model, c] : models) spans.spans[kWeek][model] += c;
      }
      spans.spans[kAll] = s.models;
      for (auto& bar : bars) {
        auto d = s.daily.find(bar.key);
        if (d == s.daily.end()) continue;
        bar.weight += cost(d->second);
        bar.output += total(d->second).output;
      }
      sessions.push_back(std::move(spans));
    }
    return 0;
  });

  Json barList = Json::array();
  for (const auto& bar : bars) {
    barList.push_back({{"day", bar.label},
                       {"weight", bar.weight},
                       {"output", bar.output},
                       {"today", bar.key == today}});
  }
  Json out = {
      {"building", building()}, {"ready", everBuilt()}, {"logs", pending()}, {"bars", barList}};
  for (int span = 0; span < kSpans; ++span)
    out[kSpanNames[span]] = spanJson(sessions, static_cast<Span>(span), live);
  return out;
}

Json window(Clock::Time from, Clock::Time to) {
  // Keys rather than steps of an hour: the hour repeated when clocks go back is one key.
  std::set<std::string> keys;
  double last = hourStart(to);
  for (double h = hourStart(from); h <= last;) {
    keys.insert(hourKey(h));
    double next = hourStart(h + 3600 + 60);
    h = next > h ? next : h + 3600;
  }
  ModelMap models = account().inspect([&](const Store& store) {
    ModelMap sum;
    for (const auto& key : keys) {
      auto it = store.hours.find(key);
      if (it == store.hours.end()) continue;
      for (const auto& [model, c] : it->second) sum[model] += c;
    }
    return sum;
  });
  Json byModel = Json::object();
  for (const auto& [model, c] : models) {
    byModel[model] = {{"label", hebrewModel(model)},
                      {"input", c.input},
                      {"output", c.output},
                      {"read", c.read},
                      {"write5", c.write5},
                      {"write1h", c.write1h},
                      {"calls", c.calls},
                      {"weight", cost(model, c)}};
  }
  Counters sum = total(models);
  return {{"models", byModel},
          {"input", sum.input},
          {"output", sum.output},
          {"read", sum.read},
          {"write", sum.write5 + sum.write1h},
          {"calls", sum.calls},
          {"weight", cost(models)}};
}

Json panel(const Live& live) {
  Json out = board(live);
  Clock::Time now = Clock::now();
  out["quota"] = Quota::payload();
  out["windowNow"] = window(now - kFiveHours, now);
  return out;
}

}  // namespace Spend
