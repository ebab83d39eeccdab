#pragma once
// Time stamps as text: ISO 8601 in and out, and the clock on the page.

#include <optional>
#include <string>

#include "base/clock.h"

namespace TimeText {

/// "2026-12-08T18:05:45.123Z" (UTC, milliseconds).
std::string iso8601(Clock::Time t);
/// Internet date-time, with or without fractional seconds, "Z" or a numeric offset.
std::optional<Clock::Time> parseIso(std::string_view text, bool allowFraction = true);
/// Local "HH:mm".
std::string hoursMinutes(Clock::Time t);
/// Local "d.M.yy" (the short date of the search and works views); "" when out of range.
std::string shortDay(Clock::Time t);

}  // namespace TimeText
