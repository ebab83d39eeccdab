#include "spend/keys.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace Spend {

namespace {
struct tm local(double at) {
  time_t secs = static_cast<time_t>(std::floor(at));
  struct tm tm {};
  localtime_r(&secs, &tm);
  return tm;
}
}  // namespace

std::string dayKey(double at) {
  struct tm tm = local(at);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

std::string hourKey(double at) {
  struct tm tm = local(at);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour);
  return buf;
}

std::string dayLabel(double at) {
  struct tm tm = local(at);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d.%d", tm.tm_mday, tm.tm_mon + 1);
  return buf;
}

double daysBefore(double at, int back) {
  struct tm tm = local(at);
  tm.tm_mday -= back;
  tm.tm_hour = 12;
  tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return static_cast<double>(mktime(&tm));
}

double hourStart(double at) {
  struct tm tm = local(at);
  tm.tm_min = tm.tm_sec = 0;
  // Keep the offset the hour had: in the hour repeated when clocks go back, mktime would
  // otherwise be free to pick the other one.
  time_t start = mktime(&tm);
  return static_cast<double>(start);
}

void KeyCache::fill(double at) {
  long long b = static_cast<long long>(std::floor(at / 900.0));
  if (b == bucket) return;
  bucket = b;
  dayText = dayKey(at);
  hourText = hourKey(at);
}

const std::string& KeyCache::day(double at) {
  fill(at);
  return dayText;
}

const std::string& KeyCache::hour(double at) {
  fill(at);
  return hourText;
}

}  // namespace Spend
