#include <algorithm>
#include <map>

#include "base/lang.h"
#include "library/commands.h"
#include "page/panel.h"

// The book view: the catalogue grouped for reading, agents and the user's own commands
// first, the agent's built-ins last.
namespace Panel {
namespace {

std::string familyOf(const std::string& name) { return name.substr(0, name.find('-')); }

BookGroup group(const std::string& title, const std::vector<Command>& rows) {
  BookGroup out{title, {}};
  for (const auto& c : rows) {
    std::string hint = c.hint.empty() ? Lang::pick("no description", "בלי תיאור") : c.hint;
    out.rows.push_back({c.name, c.kind, hint});
  }
  return out;
}

}  // namespace

void to_json(nlohmann::json& out, const BookRow& row) {
  out = {{"name", row.name}, {"kind", row.kind}, {"hint", row.hint}};
}

void to_json(nlohmann::json& out, const BookGroup& group) {
  out = {{"title", group.title}, {"rows", group.rows}};
}

std::vector<BookGroup> book() { return book(Commands::all()); }

std::vector<BookGroup> book(const std::vector<Command>& all) {
  auto ofKind = [&](Commands::Source source) {
    std::string word = Commands::kindWord(source);
    std::vector<Command> out;
    for (const auto& c : all)
      if (c.kind == word) out.push_back(c);
    return out;
  };

  std::vector<BookGroup> groups;
  auto add = [&](const std::string& title, const std::vector<Command>& rows) {
    if (!rows.empty()) groups.push_back(group(title, rows));
  };
  add(Lang::pick("agents", "סוכנים"), ofKind(Commands::Source::agent));
  add(Lang::pick("Your own commands", "פקודות משלך"), ofKind(Commands::Source::commandFile));

  std::map<std::string, std::vector<Command>> families;  // ordered by key, code points
  for (const auto& c : ofKind(Commands::Source::skill)) families[familyOf(c.name)].push_back(c);
  std::vector<Command> single;
  for (const auto& [key, members] : families) {
    if (members.size() >= 2)
      add(Lang::pick("family ", "משפחת ") + key, members);
    else
      single.push_back(members.front());
  }
  std::stable_sort(single.begin(), single.end(),
                   [](const Command& a, const Command& b) { return a.name < b.name; });
  add(Lang::pick("Individual skills", "סקילים בודדים"), single);

  add(Lang::pick("Built-in terminal commands", "פקודות מובנות במסוף"),
      ofKind(Commands::Source::builtIn));
  return groups;
}

}  // namespace Panel
