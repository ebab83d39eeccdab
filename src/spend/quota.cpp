#include "spend/quota.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/files.h"
#include "base/json_field.h"
#include "base/lang.h"
#include "base/timefmt.h"
#include "spend/store.h"

namespace Quota {

namespace {
// The poller writes a few hundred bytes; anything far larger is not its file.
constexpr int64_t kQuotaBytes = 1 << 20;

using Json = nlohmann::json;

}  // namespace

std::string path() {
  return Spend::storeDir() + "/quota.json";
}

std::string label(const std::string& kind, const std::string& displayName) {
  if (kind == "session") return Lang::pick("five-hour window", "חלון חמש שעות");
  if (kind == "weekly_all") return Lang::pick("this week — all", "השבוע — הכול");
  if (kind == "weekly_opus") return Lang::pick("this week — Opus", "השבוע — אופוס");
  if (kind == "weekly_sonnet") return Lang::pick("this week — Sonnet", "השבוע — סונט");
  if (!displayName.empty()) return Lang::pick("this week — ", "השבוע — ") + displayName;
  return Lang::pick("this week — model", "השבוע — דגם");
}

Reading read() {
  Reading reading;
  auto text = Files::read(path(), kQuotaBytes);
  if (!text) return reading;
  Json doc = Json::parse(*text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return reading;
  if (auto f = doc.find("fetched"); f != doc.end() && f->is_number())
    reading.fetched = f->get<double>();
  reading.error = JsonField::text(doc, "error");
  auto limits = doc.find("limits");
  if (limits == doc.end() || !limits->is_array()) return reading;
  for (const Json& limit : *limits) {
    if (!limit.is_object()) continue;
    Row row;
    row.kind = JsonField::text(limit, "kind");
    std::string name;
    if (auto scope = limit.find("scope"); scope != limit.end() && scope->is_object()) {
      if (auto model = scope->find("model"); model != scope->end() && model->is_object())
        name = JsonField::text(*model, "display_name");
    }
    row.label = label(row.kind, name);
    if (auto p = limit.find("percent"); p != limit.end() && p->is_number())
      row.percent = static_cast<int64_t>(std::llround(std::clamp(p->get<double>(), 0.0, 100.0)));
    if (auto s = JsonField::text(limit, "severity"); !s.empty()) row.severity = s;
    if (auto r = JsonField::text(limit, "resets_at"); !r.empty()) row.resets = TimeText::parseIso(r);
    if (auto a = limit.find("is_active"); a != limit.end() && a->is_boolean())
      row.active = a->get<bool>();
    reading.rows.push_back(std::move(row));
  }
  return reading;
}

std::string until(std::optional<Clock::Time> resets) {
  if (!resets) return "";
  double s = *resets - Clock::now();
  if (s <= 0) return Lang::pick("reset", "נאפס");
  auto whole = static_cast<long long>(std::floor(s));
  char buf[64];
  if (whole >= 172800) {
    std::snprintf(buf, sizeof buf, Lang::pick("%lldd", "%lld ימים"), whole / 3600 / 24);
  } else if (whole >= 3600) {
    std::snprintf(buf, sizeof buf, Lang::pick("%lld:%02lldh", "%lld:%02lld שע׳"), whole / 3600,
                  whole % 3600 / 60);
  } else {
    std::snprintf(buf, sizeof buf, Lang::pick("%lldm", "%lld דק׳"), whole / 60);
  }
  return buf;
}

Json payload() {
  Reading reading = read();
  Json rows = Json::array();
  for (const Row& row : reading.rows) {
    rows.push_back({{"kind", row.kind},
                    {"label", row.label},
                    {"percent", row.percent},
                    {"severity", row.severity},
                    {"active", row.active},
                    {"until", until(row.resets)}});
  }
  bool missing = !reading.fetched.has_value();
  // Clamped above too: a fetched time far in the past (the file is anyone's to write) would
  // not fit the whole seconds sent to the page.
  double age = missing ? 0 : std::clamp(Clock::now() - *reading.fetched, 0.0, 1e15);
  return {{"rows", rows},
          {"error", reading.error},
          {"missing", missing},
          {"stale", !missing && age > kStaleAfter},
          {"age", static_cast<int64_t>(std::floor(age))}};
}

}  // namespace Quota
