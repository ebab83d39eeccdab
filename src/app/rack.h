#pragma once
// The rack's own order on top of the builder's sort: a row keeps its place for as long as
// its terminal lives, new rows enter at the top, and closed ones leave without reshuffling
// the rest.

#include <optional>
#include <string>
#include <vector>

#include "page/panel.h"

/// Applies the rack order (keys of the rows, top first): newcomers (in the builder's order)
/// go on top, known rows keep their places, rows that are gone leave. Returns the rows in
/// the new order. A row's key is its session id, or something unique to its terminal for a
/// row without one, so no row ever hides another.
std::vector<Panel::Unit> orderRack(std::vector<std::string>& order,
                                   const std::vector<Panel::Unit>& units);

/// The conversation `step(by)` opens: the first row's when `openSID` is not in the rack,
/// else the one `by` rows on, wrapping both ways. None when no row has a session.
std::optional<std::string> stepRack(const std::vector<std::string>& order,
                                    const std::string& openSID, int by);
