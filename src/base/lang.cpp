#include "base/lang.h"

#include <cstdlib>
#include <mutex>
#include <optional>

#include "base/caches.h"
#include "base/settings.h"
#include "base/text.h"

namespace Lang {
namespace {
std::mutex lock;
std::optional<std::string> fixed;

bool isHebrew(const std::string& code) {
  std::string c = Text::lower(code);
  return Text::startsWith(c, "he") || Text::startsWith(c, "iw");
}
}  // namespace

std::string resolve(const std::string& envOverride, const std::string& setting,
                    const std::string& systemPreferredCode) {
  // The override and the setting name a language only as exactly "he" or "en"; anything
  // else there ("fr", "HE", "he_IL") is passed over for the next source.
  for (const std::string& chosen : {envOverride, setting})
    if (chosen == "he" || chosen == "en") return chosen;
  return isHebrew(systemPreferredCode) ? "he" : "en";
}

std::string systemPreferred() {
  // LANGUAGE is a colon-separated priority list; the others are single locale names.
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(name);
    if (!v || !*v) continue;
    std::string first = Text::split(v, ':').empty() ? "" : Text::split(v, ':').front();
    if (first.empty() || first == "C" || first == "POSIX" || Text::startsWith(first, "C."))
      continue;
    return first;
  }
  return "";
}

std::string code() {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (fixed) return *fixed;
  }
  // Worked out outside the lock: reading the setting may log, and a log line asks for the
  // language. Two first callers both work it out; the first store stays.
  const char* env = std::getenv("VELMO_LANG");
  std::string resolved = resolve(env ? env : "", Settings::text("velmo.lang"), systemPreferred());
  std::lock_guard<std::mutex> guard(lock);
  if (!fixed) fixed = std::move(resolved);
  return *fixed;
}

bool set(const std::string& wanted) {
  if ((wanted != "he" && wanted != "en") || wanted == code()) return false;
  {
    std::lock_guard<std::mutex> guard(lock);
    fixed = wanted;
  }
  Settings::set("velmo.lang", wanted);
  return true;
}

bool hebrew() {
  return code() == "he";
}

namespace {
const Caches::Enrolled enrolled(
    "language",
    [] {
      std::lock_guard<std::mutex> guard(lock);
      fixed.reset();
    },
    [] {
      std::lock_guard<std::mutex> guard(lock);
      return size_t{fixed.has_value()};
    });
}  // namespace

}  // namespace Lang
