#include "app/rack.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

// A second row of the same session, or one without a session, gets a key of its terminal.
std::string rowKey(const Panel::Unit& unit, const std::set<std::string>& seen, size_t index) {
  std::string key = unit.sid;
  if (!key.empty() && !seen.count(key)) return key;
  key += "\x01" + unit.tty;
  if (!seen.count(key)) return key;
  return key + "#" + std::to_string(index);
}

bool isSessionKey(const std::string& key) {
  return !key.empty() && key.find('\x01') == std::string::npos;
}

}  // namespace

std::vector<Panel::Unit> orderRack(std::vector<std::string>& order,
                                   const std::vector<Panel::Unit>& units) {
  if (units.empty()) return units;
  std::map<std::string, const Panel::Unit*> rows;
  std::set<std::string> seen;
  std::vector<std::string> newcomers;
  std::set<std::string> known(order.begin(), order.end());
  for (size_t i = 0; i < units.size(); ++i) {
    std::string key = rowKey(units[i], seen, i);
    seen.insert(key);
    rows[key] = &units[i];
    if (!known.count(key)) newcomers.push_back(key);
  }
  std::vector<std::string> next = std::move(newcomers);
  for (const auto& key : order)
    if (rows.count(key)) next.push_back(key);
  order = std::move(next);
  std::vector<Panel::Unit> out;
  out.reserve(order.size());
  for (const auto& key : order) out.push_back(*rows[key]);
  return out;
}

std::optional<std::string> stepRack(const std::vector<std::string>& order,
                                    const std::string& openSID, int by) {
  std::vector<std::string> sids;
  std::copy_if(order.begin(), order.end(), std::back_inserter(sids), isSessionKey);
  if (sids.empty()) return std::nullopt;
  auto it = std::find(sids.begin(), sids.end(), openSID);
  if (it == sids.end()) return sids.front();
  long n = static_cast<long>(sids.size());
  long i = it - sids.begin();
  return sids[static_cast<size_t>(((i + by) % n + n) % n)];
}
