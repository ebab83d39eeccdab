#pragma once
// The window's menu bar, drawn from the application's menu model: a GMenu of actions on
// the application, with check marks from the actions' states and the keys set as
// application accelerators.

#include <gtk/gtk.h>

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/menu.h"

class MenuBar {
 public:
  /// What choosing an item does: `windowAct` takes the window's own items first and says
  /// whether it did; the rest go to `choose`.
  struct Acts {
    std::function<bool(const std::string& id)> windowAct;
    std::function<void(const std::string& id, std::optional<int> value)> choose;
  };

  MenuBar(GtkApplication* app, const std::vector<Menu::Item>& bar, Acts acts);
  ~MenuBar();
  MenuBar(const MenuBar&) = delete;
  MenuBar& operator=(const MenuBar&) = delete;

  /// The menu bar widget, to be packed above the page.
  GtkWidget* widget() const { return bar; }
  /// Follows new check marks and a new day line.
  void update(const std::vector<Menu::Item>& bar);
  /// Calls `hook` with an item's title whenever the keyboard or pointer selects it.
  void onSelect(std::function<void(const std::string& title)> hook);
  /// What the widgets show, menu by menu: each item's title, whether it is checked and
  /// whether it can be chosen.
  nlohmann::json shown() const;

 private:
  struct Line {
    GMenu* section = nullptr;
    int index = 0;
    std::string title;
  };

  GMenu* build(const std::vector<Menu::Item>& items);
  GMenuItem* entry(const Menu::Item& item);
  void addAction(const Menu::Item& item);
  void watchSelections(GtkWidget* shell);

  GtkApplication* app;
  Acts acts;
  GMenu* model = nullptr;
  GtkWidget* bar = nullptr;
  std::map<std::string, GSimpleAction*> actions;
  std::vector<Line> lines;  ///< the disabled lines whose text changes (the day's tally)
  std::function<void(const std::string&)> selected;
};
