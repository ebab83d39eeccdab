#include "app/view.h"

#include <initializer_list>

namespace Views {
namespace {

// Highest first: the page shows the first open one, and "back" closes it first.
constexpr View kPrecedence[] = {View::reader, View::spend, View::asks,   View::works,
                                View::book,   View::crew,  View::search, View::chat};

// What opening a view closes: the spend board stands alone, works and asks share a place,
// and the crew replaces the book and the board.
Overlays shutOut(View v) {
  Overlays out;
  auto close = [&](std::initializer_list<View> views) {
    for (View w : views) out.set(w, true);
  };
  switch (v) {
    case View::spend:
      close({View::crew, View::book, View::asks, View::works});
      break;
    case View::works:
      close({View::asks});
      break;
    case View::asks:
      close({View::works});
      break;
    case View::crew:
      close({View::book, View::spend});
      break;
    default:
      break;
  }
  return out;
}

}  // namespace

const char* name(View v) {
  switch (v) {
    case View::rack:
      return "rack";
    case View::chat:
      return "chat";
    case View::search:
      return "search";
    case View::crew:
      return "crew";
    case View::book:
      return "book";
    case View::works:
      return "works";
    case View::asks:
      return "asks";
    case View::spend:
      return "spend";
    case View::reader:
      return "reader";
  }
  return "rack";
}

View shown(const Overlays& given) {
  return top(given).value_or(View::rack);
}

std::optional<View> top(const Overlays& open) {
  for (View v : kPrecedence)
    if (open.has(v)) return v;
  return std::nullopt;
}

bool toggle(Overlays& open, View v) {
  bool opening = !open.has(v);
  if (opening) open.bits &= ~shutOut(v).bits;
  open.set(v, opening);
  return opening;
}

void closeAllButReader(Overlays& open) {
  bool reader = open.has(View::reader);
  open = Overlays{};
  open.set(View::reader, reader);
}

}  // namespace Views
