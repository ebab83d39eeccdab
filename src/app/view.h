#pragma once
// Which view the page shows. Views open over the rack or the conversation and may stack: a
// view opened over another keeps it, and "back" takes them down one at a time. So the open
// views are a set, and one precedence, written here only, says which of them shows and
// which "back" closes first.

#include <optional>

/// The page's views. `rack` and `chat` lie below the others.
enum class View { rack, chat, search, crew, book, works, asks, spend, reader };

/// A set of views: the overlays open, or the views a paint carries.
struct Overlays {
  unsigned bits = 0;

  bool has(View v) const { return (bits & bit(v)) != 0; }
  void set(View v, bool open) { bits = open ? bits | bit(v) : bits & ~bit(v); }
  bool operator==(const Overlays&) const = default;

  static constexpr unsigned bit(View v) { return 1u << static_cast<unsigned>(v); }
};

namespace Views {

/// The view's name in the paint payload ("rack", "chat", "search", "crew", …).
const char* name(View v);
/// The view that shows among the given ones: reader, spend, asks, works, book, crew,
/// search, chat, in that order; the rack when none is given.
View shown(const Overlays& given);
/// The view "back" takes down first among the open ones; none when only the rack is left.
std::optional<View> top(const Overlays& open);
/// Opens the view when it is closed, closing the overlays that cannot stay under it, or
/// closes it; true when it is now open. (Opening one also closes search: its owner's part.)
bool toggle(Overlays& open, View v);
/// Closes every view over the conversation except the document reader.
void closeAllButReader(Overlays& open);

}  // namespace Views
