#include "app/menu.h"

#include "app/desktop_entries.h"
#include "base/settings.h"
#include "base/text.h"
#include "control/notify.h"
#include "relay/relay.h"

namespace Menu {
namespace {

struct Builder {
  bool he;

  Item action(const char* id, const char* en, const char* hebrew, const char* keys = "") const {
    Item i;
    i.id = id;
    i.title = he ? hebrew : en;
    i.keys = keys;
    return i;
  }
  Item toggle(const char* id, const char* en, const char* hebrew, bool on) const {
    Item i = action(id, en, hebrew);
    i.check = true;
    i.on = on;
    return i;
  }
  Item windowOnly(const char* id, const char* en, const char* hebrew, const char* keys = "") const {
    Item i = action(id, en, hebrew, keys);
    i.windowOnly = true;
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
  for (int pct : Relay::kChoices) {
    Item i;
    i.id = "setRelayLine";
    i.title = std::to_string(pct) + "%";
    i.value = pct;
    i.check = true;
    i.on = pct == threshold;
    thresholds.push_back(i);
  }
  std::vector<Item> waits;
  int wait = notifyWait();
  for (int seconds : Notify::kWaitChoices) {
    Item i;
    i.id = "setNotifyWait";
    i.title = waitTitle(seconds, b.he);
    i.value = seconds;
    i.check = true;
    i.on = seconds == wait;
    waits.push_back(i);
  }
  Item day;
  day.title = state.dayLine;
  day.enabled = false;
  Item hideOthers = b.windowOnly("hideOthers", "Hide Others", "הסתרת אחרים", "Ctrl+Alt+H");
  hideOthers.enabled = false;  // a desktop of windows, not of applications, has no others
  return {
      b.action("about", "About Velmo", "על אודות ולמו"),
      Builder::separator(),
      // Named in the language it switches to.
      b.action("flipLanguage", "מעבר לעברית", "Switch to English"),
      b.toggle("toggleLoginItem", "Open at Login", "הפעלה בהתחברות", state.loginItem),
      b.toggle("toggleRelay", "Hand-off when the context fills", "מסירה כשההקשר מתמלא",
               Settings::flag("relayOn")),
      b.toggle("toggleAutoContinue", "Continue automatically when the hand-off is ready",
               "המשך אוטומטי כשהמסירה מוכנה", Settings::flag("relayAutoContinue")),
      b.toggle("toggleIdleClose", "Close conversations idle for 24 hours",
               "סגירת שיחות שדוממות 24 שעות", Settings::flag("hygieneIdleClose")),
      day,
      b.submenu("Hand-off threshold", "סף המסירה", std::move(thresholds)),
      b.toggle("toggleNotify", "Question notifications", "התראות על שאלות",
               Settings::flag("notifyOn")),
      b.submenu("Notify only after waiting", "להתריע רק אחרי המתנה של", std::move(waits)),
      Builder::separator(),
      b.windowOnly("hide", "Hide Velmo", "הסתרת ולמו", "Ctrl+H"),
      hideOthers,
      Builder::separator(),
      b.windowOnly("quit", "Quit Velmo", "יציאה מולמו", "Ctrl+Q"),
  };
}

std::vector<Item> editMenu(const Builder& b) {
  return {
      b.windowOnly("undo", "Undo", "ביטול", "Ctrl+Z"),
      b.windowOnly("redo", "Redo", "ביצוע חוזר", "Ctrl+Shift+Z"),
      Builder::separator(),
      b.windowOnly("cut", "Cut", "גזירה", "Ctrl+X"),
      b.windowOnly("copy", "Copy", "העתקה", "Ctrl+C"),
      b.windowOnly("paste", "Paste", "הדבקה", "Ctrl+V"),
      Builder::separator(),
      b.windowOnly("selectAll", "Select All", "בחירת הכל", "Ctrl+A"),
  };
}

std::vector<Item> viewMenu(const Builder& b) {
  return {
      b.action("focusSearch", "Search every conversation", "חיפוש בכל השיחות", "Ctrl+F"),
      b.action("openPalette", "Terminal commands", "פקודות המסוף", "Ctrl+K"),
      b.action("agentsOrNext", "Background agents", "סוכני־הרקע", "Ctrl+G"),
      b.action("findPrev", "Previous match in conversation", "ההתאמה הקודמת בשיחה",
               "Ctrl+Shift+G"),
      b.action("toggleBook", "Capability book", "ספר־היכולות", "Ctrl+B"),
      b.action("toggleWorks", "Artifacts", "תוצרים", "Ctrl+Y"),
      b.action("toggleAsks", "Questions waiting for you", "שאלות שממתינות לך", "Ctrl+I"),
      b.action("toggleSpend", "Usage", "צריכה", "Ctrl+J"),
      Builder::separator(),
      b.action("newTerminal", "New terminal", "מסוף חדש", "Ctrl+N"),
      b.action("wakeAll", "Wake everyone who is waiting", "להעיר את כל הממתינים", "Ctrl+Shift+A"),
      b.action("myLast", "To my last message", "להודעה האחרונה שלי", "Ctrl+U"),
      b.action("toggleFold", "Collapsed view", "תצוגה מקופלת", "Ctrl+Shift+C"),
      Builder::separator(),
      b.action("stepBack", "Previous conversation", "השיחה הקודמת", "Alt+Up"),
      b.action("stepOn", "Next conversation", "השיחה הבאה", "Alt+Down"),
      b.action("stepLiveBack", "Previous active terminal", "המסוף הפעיל הקודם", "Shift+Alt+Up"),
      b.action("stepLiveOn", "Next active terminal", "המסוף הפעיל הבא", "Shift+Alt+Down"),
      b.action("goBack", "Back to the rack", "חזרה למדף", "Ctrl+L"),
      Builder::separator(),
      b.action("refreshNow", "Refresh Now", "רענון עכשיו", "Ctrl+R"),
  };
}

std::vector<Item> documentMenu(const Builder& b) {
  return {
      // A browser page cannot ask for a path on this machine.
      b.windowOnly("openDocument", "Open document…", "פתיחת מסמך…", "Ctrl+O"),
      b.action("editDocument", "Edit document", "עריכת המסמך", "Ctrl+E"),
      b.action("saveDocument", "Save", "שמירה", "Ctrl+S"),
      b.action("claimMarkdown", "Always open Markdown in Velmo", "לפתוח קובצי md תמיד בולמו"),
      Builder::separator(),
      b.action("closeDocument", "Close document", "סגירת המסמך", "Ctrl+Shift+W"),
  };
}

std::vector<Item> windowMenu(const Builder& b) {
  return {
      b.windowOnly("minimize", "Minimize", "מזעור", "Ctrl+M"),
      b.windowOnly("close", "Close", "סגירה", "Ctrl+W"),
      Builder::separator(),
      b.windowOnly("bringToFront", "Bring Velmo to Front", "הבאת ולמו לחזית"),
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
