#include "app/menu.h"

#include "app/cmd.h"
#include "app/desktop_entries.h"
#include "base/settings.h"
#include "base/text.h"
#include "control/notify.h"
#include "relay/relay.h"

namespace Menu {
namespace {

struct Builder {
  bool he;

  // The item of a command in the table: its id, title and keys are the command's.
  Item command(const char* name) const {
    const Cmd::Entry* c = Cmd::named(name);
    Item i;
    if (!c) return i;
    i.id = c->menuId();
    i.title = he ? c->title.he : c->title.en;
    i.keys = c->keys;
    i.windowOnly = (c->roads & Cmd::window) != 0;
    return i;
  }
  Item toggle(const char* name, bool on) const {
    Item i = command(name);
    i.check = true;
    i.on = on;
    return i;
  }
  // A submenu's item: the command with `value` for its argument.
  static Item choice(const char* name, std::string title, int value, bool on) {
    Item i;
    i.id = Cmd::named(name)->menuId();
    i.title = std::move(title);
    i.value = value;
    i.check = true;
    i.on = on;
    return i;
  }
  static Item separator() {
    Item i;
    i.separator = true;
    return i;
  }
  Item submenu(const char* en, const char* hebrew, std::vector<Item> items) const {
    Item i;
    i.title = he ? hebrew : en;
    i.items = std::move(items);
    return i;
  }
};

std::vector<Item> applicationMenu(const Builder& b, const State& state) {
  std::vector<Item> thresholds;
  int threshold = Relay::threshold();
  for (int pct : Relay::kChoices)
    thresholds.push_back(
        Builder::choice("setRelayLine", std::to_string(pct) + "%", pct, pct == threshold));
  std::vector<Item> waits;
  int wait = notifyWait();
  for (int seconds : Notify::kWaitChoices)
    waits.push_back(
        Builder::choice("setNotifyWait", waitTitle(seconds, b.he), seconds, seconds == wait));
  Item day;
  day.title = state.dayLine;
  day.enabled = false;
  Item hideOthers = b.command("hideOthers");
  hideOthers.enabled = false;  // a desktop of windows, not of applications, has no others
  return {
      b.command("about"),
      Builder::separator(),
      b.command("flipLanguage"),
      b.toggle("toggleLoginItem", state.loginItem),
      b.toggle("toggleRelay", Settings::flag("relayOn")),
      b.toggle("toggleAutoContinue", Settings::flag("relayAutoContinue")),
      b.toggle("toggleIdleClose", Settings::flag("hygieneIdleClose")),
      day,
      b.submenu("Hand-off threshold", "סף המסירה", std::move(thresholds)),
      b.toggle("toggleNotify", Settings::flag("notifyOn")),
      b.submenu("Notify only after waiting", "להתריע רק אחרי המתנה של", std::move(waits)),
      Builder::separator(),
      b.command("hide"),
      hideOthers,
      Builder::separator(),
      b.command("quit"),
  };
}

std::vector<Item> editMenu(const Builder& b) {
  return {
      b.command("undo"),      b.command("redo"),  Builder::separator(),
      b.command("cut"),       b.command("copy"),  b.command("paste"),
      Builder::separator(),   b.command("selectAll"),
  };
}

std::vector<Item> viewMenu(const Builder& b) {
  return {
      b.command("findAnywhere"),
      b.command("openPalette"),
      b.command("crewOrNextMatch"),
      b.command("findPrev"),
      b.command("book"),
      b.command("works"),
      b.command("asks"),
      b.command("spend"),
      Builder::separator(),
      b.command("newTerminal"),
      b.command("wakeAll"),
      b.command("myLast"),
      b.command("toggleFold"),
      Builder::separator(),
      b.command("stepBack"),
      b.command("stepOn"),
      b.command("stepLiveBack"),
      b.command("stepLiveOn"),
      b.command("toRack"),
      Builder::separator(),
      b.command("refresh"),
  };
}

std::vector<Item> documentMenu(const Builder& b) {
  return {
      b.command("openDocument"), b.command("editAnyDoc"), b.command("saveAnyDoc"),
      b.command("claimMarkdown"), Builder::separator(),   b.command("closeDoc"),
  };
}

std::vector<Item> windowMenu(const Builder& b) {
  return {
      b.command("minimize"),
      b.command("close"),
      Builder::separator(),
      b.command("bringToFront"),
  };
}

nlohmann::json pageItems(const std::vector<Item>& items) {
  nlohmann::json out = nlohmann::json::array();
  for (const Item& i : items) {
    if (i.windowOnly) continue;
    if (i.separator) {
      if (!out.empty() && !out.back().contains("sep")) out.push_back({{"sep", true}});
      continue;
    }
    nlohmann::json j = {{"title", i.title}};
    if (!i.items.empty()) {
      j["items"] = pageItems(i.items);
      if (j["items"].empty()) continue;
    } else if (!i.id.empty()) {
      j["id"] = i.id;
    }
    if (!i.keys.empty()) j["keys"] = i.keys;
    if (i.value) j["value"] = *i.value;
    if (i.check) {
      j["check"] = true;
      j["on"] = i.on;
    }
    if (!i.enabled || (i.id.empty() && i.items.empty())) j["off"] = true;
    out.push_back(std::move(j));
  }
  if (!out.empty() && out.back().contains("sep")) out.erase(out.size() - 1);
  return out;
}

}  // namespace

std::string waitTitle(int seconds, bool hebrew) {
  if (seconds == 0) return hebrew ? "מיד" : "at once";
  if (seconds > 59) return std::to_string(seconds / 60) + (hebrew ? " דק׳" : " min");
  return std::to_string(seconds) + (hebrew ? " שניות" : " s");
}

int notifyWait() {
  return static_cast<int>(Settings::number("notifyMinWait", 0));
}

State read() {
  return State{DesktopEntries::loginItemInstalled(), Relay::dayLine(Relay::today())};
}

std::vector<Item> bar(const State& state, bool hebrew) {
  Builder b{hebrew};
  return {
      b.submenu("Velmo", "ולמו", applicationMenu(b, state)),
      b.submenu("Edit", "עריכה", editMenu(b)),
      b.submenu("View", "תצוגה", viewMenu(b)),
      b.submenu("document", "מסמך", documentMenu(b)),
      b.submenu("Window", "חלון", windowMenu(b)),
  };
}

nlohmann::json forPage(const std::vector<Item>& bar) {
  nlohmann::json menus = nlohmann::json::array();
  for (const Item& menu : bar) {
    nlohmann::json items = pageItems(menu.items);
    if (!items.empty()) menus.push_back({{"title", menu.title}, {"items", std::move(items)}});
  }
  return menus;
}

std::string accelerator(const std::string& keys) {
  if (keys.empty()) return "";
  auto parts = Text::split(keys, '+');
  std::string out;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const std::string& m = parts[i];
    out += m == "Ctrl" ? "<Control>" : m == "Shift" ? "<Shift>" : m == "Alt" ? "<Alt>" : "";
  }
  std::string key = parts.empty() ? "" : parts.back();
  return out + (key.size() == 1 ? Text::lower(key) : key);
}

namespace {
nlohmann::json whole(const std::vector<Item>& items) {
  nlohmann::json out = nlohmann::json::array();
  for (const Item& i : items)
    out.push_back({i.id, i.title, i.value.value_or(-1), i.on, i.enabled, whole(i.items)});
  return out;
}
}  // namespace

void Shown::update(const std::optional<State>& read) {
  if (read) state = *read;
  if (!listener) return;
  auto now = bar();
  std::string text = whole(now).dump();
  if (text == told) return;
  told = std::move(text);
  listener(now);
}

void Shown::onChange(std::function<void(const std::vector<Item>&)> hook) {
  listener = std::move(hook);
  told.clear();
  update(std::nullopt);
}

const Item* find(const std::vector<Item>& bar, const std::string& id, std::optional<int> value) {
  for (const Item& i : bar) {
    if (!i.id.empty() && i.id == id && (!value || i.value == value)) return &i;
    if (const Item* inner = find(i.items, id, value)) return inner;
  }
  return nullptr;
}

}  // namespace Menu
