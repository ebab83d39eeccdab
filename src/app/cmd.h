#pragma once
// The one table of what a person or a program can ask Velmo to do: the page's messages, the
// menu's items, the hot keys and the notifications' actions all find their command here.
// Each entry names the command once, the words the page and the menu use for it where those
// differ, its title in both languages and its keys where the menu shows it, its arguments
// with their JSON types, and its handler. A request is checked against the arguments before
// anything runs (`base/request.h`); a handler's signature names what it may touch, and it
// says what must follow instead of scanning itself.

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/conversation.h"
#include "app/dialogs.h"
#include "app/document_pane.h"
#include "app/follow.h"
#include "app/lanes.h"
#include "app/page_link.h"
#include "app/reports.h"
#include "app/search_state.h"
#include "app/sources.h"
#include "app/view.h"
#include "base/request.h"

/// What the commands work on: the application's collaborators and the ways out of the main
/// thread. Each command's handler says which of them it touches.
struct Desk {
  Conversation& conversation;
  DocumentPane& document;
  SearchState& search;
  Overlays& views;                  ///< the open overlays
  std::vector<std::string>& order;  ///< the rack order
  Lanes& lanes;
  PageLink& page;
  Reports& reports;
  Dialogs* dialogs;  ///< the window, to bring it forward; none in browser mode
  std::shared_ptr<const AppSources> sources;
  /// Queues a job on the serial chores queue, behind any relay or naming pass.
  std::function<void(std::function<void()>)> chore;
};

namespace Cmd {

using Request::Arg;
using Request::Args;

/// Where a command may come from, combined with `|`.
enum Road : unsigned {
  page = 1,     ///< a page message
  menu = 2,     ///< a menu item (and its keys)
  hotKey = 4,   ///< a global hot key
  notice = 8,   ///< a notification's action
  window = 16,  ///< the window's own item: the shell runs it, the centre never does
};

using Run = Follow (*)(Desk& desk, const Args& args);

struct Title {
  const char* en = nullptr;
  const char* he = nullptr;
};

struct Entry {
  const char* name;                ///< the one name of the intent
  unsigned roads;                  ///< `Road`s it is reachable from
  const char* pageWord = nullptr;  ///< the page's message word, when it is not `name`
  const char* menuWord = nullptr;  ///< the menu item's id, when it is not `name`
  Title title{};                   ///< the menu's title
  const char* keys = "";           ///< "Ctrl+Shift+G", "Alt+Up"; "" when it has none
  std::vector<Arg> args{};
  Run run = nullptr;  ///< null: accepted and ignored (a window item, or one not built yet)

  const char* pageName() const { return pageWord ? pageWord : name; }
  const char* menuId() const { return menuWord ? menuWord : name; }
};

/// Every command.
const std::vector<Entry>& table();
/// The command of a name, or null.
const Entry* named(const std::string& name);
/// The command the page's message word stands for, or null.
const Entry* fromPage(const std::string& word);
/// The command of a menu item's id, or null.
const Entry* fromMenu(const std::string& id);
/// The menu item's arguments: `value`, the choice of a submenu's item, when there is one.
nlohmann::json menuArgs(std::optional<int> value);

/// Runs a checked request (the caller checked it with `Request::fault`). A handler that
/// throws is logged and does nothing.
Follow run(Desk& desk, const Entry& entry, const nlohmann::json& request);

}  // namespace Cmd
