#include "base/timefmt.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace TimeText {

std::string iso8601(Clock::Time t) {
  double whole = std::floor(t);
  int millis = static_cast<int>(std::lround((t - whole) * 1000));
  if (millis == 1000) {
    whole += 1;
    millis = 0;
  }
  time_t secs = static_cast<time_t>(whole);
  struct tm tm {};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return buf;
}

namespace {
bool digits(std::string_view s, size_t at, size_t n, int& out) {
  if (at + n > s.size()) return false;
  out = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long long daysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}
}  // namespace

std::optional<Clock::Time> parseIso(std::string_view s, bool allowFraction) {
  int y, mo, d, h, mi, se;
  if (!digits(s, 0, 4, y) || s.size() < 19 || s[4] != '-' || !digits(s, 5, 2, mo) || s[7] != '-' ||
      !digits(s, 8, 2, d) || (s[10] != 'T' && s[10] != 't') || !digits(s, 11, 2, h) ||
      s[13] != ':' || !digits(s, 14, 2, mi) || s[16] != ':' || !digits(s, 17, 2, se))
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return std::nullopt;
  size_t at = 19;
  double fraction = 0;
  if (at < s.size() && s[at] == '.') {
    if (!allowFraction) return std::nullopt;
    ++at;
    double scale = 0.1;
    size_t start = at;
    while (at < s.size() && s[at] >= '0' && s[at] <= '9') {
      fraction += (s[at] - '0') * scale;
      scale /= 10;
      ++at;
    }
    if (at == start) return std::nullopt;
  }
  if (at >= s.size()) return std::nullopt;
  int offset = 0;
  if (s[at] == 'Z' || s[at] == 'z') {
    ++at;
  } else if (s[at] == '+' || s[at] == '-') {
    int oh, om;
    if (!digits(s, at + 1, 2, oh) || at + 3 >= s.size() || s[at + 3] != ':' ||
        !digits(s, at + 4, 2, om))
      return std::nullopt;
    offset = (oh * 3600 + om * 60) * (s[at] == '-' ? -1 : 1);
    at += 6;
  } else {
    return std::nullopt;
  }
  if (at != s.size()) return std::nullopt;
  double t = static_cast<double>(daysFromCivil(y, mo, d)) * 86400.0 + h * 3600 + mi * 60 + se;
  return t - offset + fraction;
}

std::string hoursMinutes(Clock::Time t) {
  time_t secs = static_cast<time_t>(std::floor(t));
  struct tm tm {};
  localtime_r(&secs, &tm);
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d:%02d", tm.tm_hour, tm.tm_min);
  return buf;
}

std::string shortDay(Clock::Time t) {
  time_t secs = static_cast<time_t>(std::floor(t));
  struct tm tm {};
  if (!localtime_r(&secs, &tm)) return "";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d.%d.%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100);
  return buf;
}

}  // namespace TimeText
