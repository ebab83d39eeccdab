#include "app/cmd.h"

#include <algorithm>

#include "app/cmd_parts.h"
#include "base/lang.h"
#include "base/log.h"

namespace Cmd {

namespace Parts {

void bringForward(Desk& d) {
  if (d.dialogs) d.dialogs->present();
}

Follow pageCall(Desk& d, const char* name) {
  d.page.call(name, {});
  return Follow::nothing;
}

}  // namespace Parts

namespace {

const std::vector<Entry>& all() {
  static const std::vector<Entry> joined = [] {
    std::vector<Entry> t = workCommands();
    for (Entry& e : deskCommands()) t.push_back(std::move(e));
    return t;
  }();
  return joined;
}

template <typename Word>
const Entry* findBy(Word word, const std::string& want, unsigned road) {
  const auto& t = all();
  auto it = std::find_if(t.begin(), t.end(), [&](const Entry& e) {
    return (road == 0 || (e.roads & road)) && want == word(e);
  });
  return it == t.end() ? nullptr : &*it;
}

}  // namespace

const std::vector<Entry>& table() {
  return all();
}

const Entry* named(const std::string& name) {
  return findBy([](const Entry& e) { return e.name; }, name, 0);
}

const Entry* fromPage(const std::string& word) {
  return findBy([](const Entry& e) { return e.pageName(); }, word, page);
}

const Entry* fromMenu(const std::string& id) {
  return findBy([](const Entry& e) { return e.menuId(); }, id, menu);
}

nlohmann::json menuArgs(std::optional<int> value) {
  nlohmann::json args = nlohmann::json::object();
  if (value) args["value"] = *value;
  return args;
}

Follow run(Desk& desk, const Entry& entry, const nlohmann::json& request) {
  if (!entry.run) return Follow::nothing;
  try {
    return entry.run(desk, Args(request));
  } catch (const std::exception& e) {
    // A request shaped in a way no handler expected must not take the application down.
    Log::note(std::string(Lang::pick("command failed: ", "הפקודה נכשלה: ")) + entry.name + " — " +
              e.what());
    return Follow::nothing;
  }
}

}  // namespace Cmd
