#pragma once
// Day and hour keys in local time ("yyyy-MM-dd", "yyyy-MM-dd HH"): they sort as they
// follow each other, so pruning compares them as text.

#include <string>
#include <vector>

namespace Spend {

std::string dayKey(double at);
std::string hourKey(double at);
/// "d.M" of the day holding `at`, as the bars label it.
std::string dayLabel(double at);
/// Noon of the calendar day `back` days before the day holding `at` (local time, so a day
/// of 23 or 25 hours is still one day).
double daysBefore(double at, int back);
/// The start of the local hour holding `at`.
double hourStart(double at);

/// Keys of many times close together, computed once per quarter hour: every time zone's
/// offset is a whole number of quarter hours, so one quarter hour has one day and one hour.
class KeyCache {
 public:
  const std::string& day(double at);
  const std::string& hour(double at);

 private:
  void fill(double at);
  long long bucket = -1;
  std::string dayText, hourText;
};

}  // namespace Spend
