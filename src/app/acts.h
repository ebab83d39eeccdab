#pragma once
// The page's messages. Each act names the message, the arguments it needs with their JSON
// types, and what runs it; the application checks the arguments against the entry before
// anything runs, so a handler reads only arguments of the types it declared. Handlers say
// what must follow instead of scanning themselves.

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/conversation.h"
#include "app/document_pane.h"
#include "app/follow.h"
#include "app/lanes.h"
#include "app/page_link.h"
#include "app/reports.h"
#include "app/search_state.h"
#include "app/sources.h"
#include "app/view.h"

/// What the acts work on: the application's collaborators and the ways out of the main
/// thread. Each act's entry says which of them it touches.
struct Desk {
  Conversation& conversation;
  DocumentPane& document;
  SearchState& search;
  Overlays& views;                  ///< the open overlays
  std::vector<std::string>& order;  ///< the rack order
  Lanes& lanes;
  PageLink& page;
  Reports& reports;
  std::shared_ptr<const AppSources> sources;
  /// Queues a job on the serial chores queue, behind any relay or naming pass.
  std::function<void(std::function<void()>)> chore;
  /// Runs a menu item, as the window's menu does.
  std::function<void(const std::string& id, std::optional<int> value)> choose;
};

namespace Acts {

/// The JSON types an argument may take, combined with `|`.
enum Type : unsigned {
  text = 1,
  integer = 2,
  fraction = 4,
  flag = 8,
  object = 16,
  list = 32,
};

struct Arg {
  const char* key;
  unsigned types;
  bool optional = false;
};

/// A message's arguments, read after they were checked against the act's entry: a read of
/// an absent optional argument gives the empty value.
class Args {
 public:
  explicit Args(const nlohmann::json& message) : message(message) {}
  std::string text(const char* key) const;
  int integer(const char* key) const;
  bool flag(const char* key) const;
  /// Any value, null when absent.
  nlohmann::json value(const char* key) const;
  /// A number the page sends as text or as an integer, as text.
  std::string number(const char* key) const;

 private:
  const nlohmann::json& message;
};

using Run = Follow (*)(Desk& desk, const Args& args);

struct Act {
  const char* name;
  std::vector<Arg> args;
  Run run;  ///< null: accepted and ignored, its subsystem has not landed yet
};

/// Every message the page sends.
const std::vector<Act>& table();
/// The act of a message name, or null.
const Act* find(const std::string& name);
/// Why a message does not fit its act ("\"sid\" is missing", "\"by\" is a string, not an
/// integer"), in the interface language; none when it fits.
std::optional<std::string> fault(const Act& act, const nlohmann::json& message);

// Acts that the menu, hot keys and notifications reach as well.

/// Opens the conversation (nothing for an empty sid): search and the overlays other than
/// the reader close, and it is painted at once.
Follow openSession(Conversation& conversation, SearchState& search, Overlays& views,
                   const std::string& sid, const nlohmann::json& find);
/// Opens the previous (-1) or next (+1) conversation that is not idle, in rack order, with
/// search and every overlay closed.
void stepLive(Conversation& conversation, SearchState& search, Overlays& views,
              const std::vector<std::string>& order, Lanes& lanes, const AppSources::Ptr& sources,
              int by);

}  // namespace Acts
