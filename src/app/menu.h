#pragma once
// The application's menu as data: one model, drawn natively by the window and by the page
// in browser mode. Titles follow the interface language of the moment the model is built;
// check marks follow the settings, the login item and today's tally. Each item is a command
// of the table (`app/cmd.h`), whose title and keys it shows; choosing it is
// `AppDelegate::choose` with the item's id and value.

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Menu {

struct Item {
  std::string id;            ///< the action; "" for a separator, a disabled line or a submenu
  std::string title;
  std::string keys;          ///< "Ctrl+Shift+G", "Alt+Up"; "" when it has none
  std::optional<int> value;  ///< the choice an item of a submenu stands for
  bool check = false;        ///< shows a check mark; `on` says whether it is checked
  bool on = false;
  bool enabled = true;
  bool separator = false;
  bool windowOnly = false;  ///< only the window has it (editing, hiding, the Window menu)
  std::vector<Item> items;  ///< a submenu's items
};

/// What the model shows beside the settings; read off the main thread.
struct State {
  bool loginItem = false;
  std::string dayLine;  ///< today's hand-off tally
};

/// The file states the model shows (the login item, today's tally). Reads files.
State read();
/// The menu bar: the application, Edit, View, document and Window menus, in that order.
/// Titles in Hebrew or English: the menu keeps the language it was first built in until
/// the next start, as a native menu does.
std::vector<Item> bar(const State& state, bool hebrew);
/// The menus a page draws: window-only items and menus left empty by them left out;
/// separators at either end of a menu, or doubled, dropped too.
nlohmann::json forPage(const std::vector<Item>& bar);

/// A GTK accelerator for keys ("Ctrl+Shift+G" → "<Control><Shift>g", "Alt+Up" → "<Alt>Up").
std::string accelerator(const std::string& keys);

/// The item of an id (and value, for the items of a submenu), or none.
const Item* find(const std::vector<Item>& bar, const std::string& id,
                 std::optional<int> value = std::nullopt);

/// The menu the shells show: the language it was first built in, the file states last read,
/// and who hears of a change.
class Shown {
 public:
  explicit Shown(bool hebrew) : hebrew(hebrew) {}
  std::vector<Item> bar() const { return Menu::bar(state, hebrew); }
  /// Takes the states a scan read (none: keeps the last ones) and tells the listener when
  /// the bar differs from the one it last heard of.
  void update(const std::optional<State>& read);
  /// Called on the main thread with the whole bar after each change.
  void onChange(std::function<void(const std::vector<Item>&)> hook);

 private:
  bool hebrew;
  State state;
  std::string told;  ///< the bar the listener last heard of, as JSON text
  std::function<void(const std::vector<Item>&)> listener;
};

/// "at once", "30 s", "1 min"…: the title of a notification delay.
std::string waitTitle(int seconds, bool hebrew);
/// The stored delay before a question is notified ("notifyMinWait", else 0).
int notifyWait();

}  // namespace Menu
