#include "shell/gtk/menu_bar.h"

#include "base/text.h"

namespace {

// Menu labels read "_" as the mark of a mnemonic.
std::string label(const std::string& title) {
  return Text::replaceAll(title, "_", "__");
}

std::string detailed(const std::string& id) {
  return "app." + id;
}

// The first label's text under a widget: a menu item drawn from a model keeps its title in
// a label of its own.
std::string textOf(GtkWidget* widget) {
  if (GTK_IS_LABEL(widget)) return gtk_label_get_text(GTK_LABEL(widget));
  if (!GTK_IS_CONTAINER(widget)) return "";
  std::string found;
  GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
  for (GList* c = children; c && found.empty(); c = c->next)
    found = textOf(GTK_WIDGET(c->data));
  g_list_free(children);
  return found;
}

nlohmann::json shownItems(GtkWidget* shell) {
  nlohmann::json out = nlohmann::json::array();
  GList* children = gtk_container_get_children(GTK_CONTAINER(shell));
  for (GList* c = children; c; c = c->next) {
    GtkWidget* w = GTK_WIDGET(c->data);
    if (!GTK_IS_MENU_ITEM(w) || !gtk_widget_get_visible(w)) continue;
    if (GTK_IS_SEPARATOR_MENU_ITEM(w)) {
      out.push_back({{"sep", true}});
      continue;
    }
    nlohmann::json item = {{"title", textOf(w)}, {"enabled", gtk_widget_is_sensitive(w) != 0}};
    if (GTK_IS_CHECK_MENU_ITEM(w))
      item["on"] = gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(w)) != 0;
    if (GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(w)))
      item["items"] = shownItems(sub);
    out.push_back(std::move(item));
  }
  g_list_free(children);
  return out;
}

}  // namespace

MenuBar::MenuBar(GtkApplication* application, const std::vector<Menu::Item>& items, Acts a)
    : app(application), acts(std::move(a)) {
  model = g_menu_new();
  for (const Menu::Item& menu : items) {
    GMenu* sub = build(menu.items);
    g_menu_append_submenu(model, label(menu.title).c_str(), G_MENU_MODEL(sub));
    g_object_unref(sub);
  }
  bar = gtk_menu_bar_new_from_model(G_MENU_MODEL(model));
  g_object_ref_sink(bar);
}

MenuBar::~MenuBar() {
  for (auto& [id, action] : actions) {
    g_action_map_remove_action(G_ACTION_MAP(app), id.c_str());
    g_object_unref(action);
  }
  g_object_unref(bar);
  g_object_unref(model);
}

// A separator in the model starts a new section: GTK draws the line between sections.
GMenu* MenuBar::build(const std::vector<Menu::Item>& items) {
  GMenu* menu = g_menu_new();
  GMenu* section = g_menu_new();
  auto close = [&] {
    if (g_menu_model_get_n_items(G_MENU_MODEL(section)) > 0)
      g_menu_append_section(menu, nullptr, G_MENU_MODEL(section));
    g_object_unref(section);
    section = g_menu_new();
  };
  for (const Menu::Item& item : items) {
    if (item.separator) {
      close();
      continue;
    }
    if (item.id.empty() && item.items.empty())
      lines.push_back({section, g_menu_model_get_n_items(G_MENU_MODEL(section)), item.title});
    GMenuItem* e = entry(item);
    g_menu_append_item(section, e);
    g_object_unref(e);
  }
  close();
  g_object_unref(section);
  return menu;
}

GMenuItem* MenuBar::entry(const Menu::Item& item) {
  if (!item.items.empty()) {
    GMenu* sub = build(item.items);
    GMenuItem* e = g_menu_item_new_submenu(label(item.title).c_str(), G_MENU_MODEL(sub));
    g_object_unref(sub);
    return e;
  }
  // A line that only informs stands on an action that is never enabled.
  std::string id = item.id.empty() ? "line" : item.id;
  Menu::Item shaped = item;
  shaped.id = id;
  addAction(shaped);
  GMenuItem* e = g_menu_item_new(label(item.title).c_str(), nullptr);
  if (item.value)
    g_menu_item_set_action_and_target_value(e, detailed(id).c_str(),
                                            g_variant_new_int32(*item.value));
  else
    g_menu_item_set_action_and_target_value(e, detailed(id).c_str(), nullptr);
  std::string accel = Menu::accelerator(item.keys);
  if (!accel.empty()) {
    g_menu_item_set_attribute(e, "accel", "s", accel.c_str());
    const char* accels[] = {accel.c_str(), nullptr};
    gtk_application_set_accels_for_action(app, detailed(id).c_str(), accels);
  }
  return e;
}

void MenuBar::addAction(const Menu::Item& item) {
  if (actions.count(item.id)) return;
  GSimpleAction* action;
  if (item.value)
    action = g_simple_action_new_stateful(item.id.c_str(), G_VARIANT_TYPE_INT32,
                                          g_variant_new_int32(-1));
  else if (item.check)
    action = g_simple_action_new_stateful(item.id.c_str(), nullptr,
                                          g_variant_new_boolean(item.on));
  else
    action = g_simple_action_new(item.id.c_str(), nullptr);
  g_simple_action_set_enabled(action, item.enabled && item.id != "line");
  // With a handler of its own, a stateful action does not flip itself: its state follows
  // the model, read back after the choice took.
  g_signal_connect(action, "activate", G_CALLBACK(+[](GSimpleAction* a, GVariant* parameter,
                                                      gpointer self) {
                     auto* menu = static_cast<MenuBar*>(self);
                     std::string id = g_action_get_name(G_ACTION(a));
                     std::optional<int> value;
                     if (parameter && g_variant_is_of_type(parameter, G_VARIANT_TYPE_INT32))
                       value = g_variant_get_int32(parameter);
                     if (menu->acts.windowAct && menu->acts.windowAct(id)) return;
                     if (menu->acts.choose) menu->acts.choose(id, value);
                   }),
                   this);
  g_action_map_add_action(G_ACTION_MAP(app), G_ACTION(action));
  actions[item.id] = action;
}

void MenuBar::update(const std::vector<Menu::Item>& items) {
  std::map<std::string, int> chosen;  // a submenu's action → the value checked, -1 for none
  std::function<void(const std::vector<Menu::Item>&)> walk = [&](const auto& list) {
    for (const Menu::Item& item : list) {
      walk(item.items);
      auto found = actions.find(item.id);
      if (found == actions.end()) continue;
      if (item.value) {
        if (!chosen.count(item.id)) chosen[item.id] = -1;
        if (item.on) chosen[item.id] = *item.value;
      } else if (item.check) {
        g_simple_action_set_state(found->second, g_variant_new_boolean(item.on));
      }
    }
  };
  walk(items);
  for (const auto& [id, value] : chosen)
    g_simple_action_set_state(actions[id], g_variant_new_int32(value));

  // The informing lines, in the order the model holds them.
  std::vector<std::string> titles;
  std::function<void(const std::vector<Menu::Item>&)> gather = [&](const auto& list) {
    for (const Menu::Item& item : list) {
      if (item.separator) continue;
      if (item.id.empty() && item.items.empty()) titles.push_back(item.title);
      gather(item.items);
    }
  };
  gather(items);
  for (size_t i = 0; i < lines.size() && i < titles.size(); ++i) {
    Line& line = lines[i];
    if (line.title == titles[i]) continue;
    line.title = titles[i];
    g_menu_remove(line.section, line.index);
    GMenuItem* e = g_menu_item_new(label(line.title).c_str(), "app.line");
    g_menu_insert_item(line.section, line.index, e);
    g_object_unref(e);
  }
  if (selected) watchSelections(bar);
}

void MenuBar::onSelect(std::function<void(const std::string&)> hook) {
  selected = std::move(hook);
  watchSelections(bar);
}

void MenuBar::watchSelections(GtkWidget* shell) {
  GList* children = gtk_container_get_children(GTK_CONTAINER(shell));
  for (GList* c = children; c; c = c->next) {
    GtkWidget* w = GTK_WIDGET(c->data);
    if (!GTK_IS_MENU_ITEM(w)) continue;
    if (!g_object_get_data(G_OBJECT(w), "velmo-watched")) {
      g_object_set_data(G_OBJECT(w), "velmo-watched", GINT_TO_POINTER(1));
      g_signal_connect(w, "select", G_CALLBACK(+[](GtkMenuItem* item, gpointer self) {
                         auto* menu = static_cast<MenuBar*>(self);
                         // A submenu may be filled only now; its items are watched too.
                         if (GtkWidget* sub = gtk_menu_item_get_submenu(item))
                           menu->watchSelections(sub);
                         if (menu->selected) menu->selected(textOf(GTK_WIDGET(item)));
                       }),
                       this);
    }
    if (GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(w))) watchSelections(sub);
  }
  g_list_free(children);
}

nlohmann::json MenuBar::shown() const {
  return shownItems(bar);
}
