#include <cmath>
#include <cstdio>

#include "base/lang.h"
#include "base/paths.h"
#include "base/text.h"
#include "page/panel.h"
#include "search/titles.h"

// The small texts every payload shares, in the interface language.
namespace Panel {
namespace {
std::string pick(const char* english, const char* hebrew) {
  return Lang::pick(english, hebrew);
}
}  // namespace

std::string label(SessionState::Mode mode) {
  switch (mode) {
    case SessionState::Mode::working:
      return pick("working", "עובד");
    case SessionState::Mode::waiting:
      return pick("waiting for you", "ממתין לך");
    case SessionState::Mode::quiet:
      break;
  }
  return pick("idle", "דומם");
}

std::string title(const Terminal& t, const std::optional<SessionState>& s,
                  const std::string& name) {
  if (!t.sessionID.empty() && !name.empty()) return name;
  if (s && !s->title.empty()) return s->title;
  // A title record far back in a long transcript is out of the tail's reach; the memo
  // still has it.
  if (std::string known = Titles::known(t.sessionID); !known.empty()) return known;
  // The window title is what the user sees on the terminal, so it beats the folder name.
  if (!t.windowTitle.empty()) return t.windowTitle;
  if (s && !s->project.empty()) return s->project;
  return pick("terminal ", "מסוף ") + t.slot;
}

std::string say(SessionState::Mode mode, const std::optional<SessionState>& s) {
  if (!s) return pick("No log registered for this terminal", "אין יומן רשום למסוף הזה");
  if (mode == SessionState::Mode::working && !s->activity.empty()) return s->activity;
  return s->snippet;
}

std::string age(std::optional<Clock::Time> sinceTime, double fallback) {
  double seconds = sinceTime ? Clock::now() - *sinceTime : fallback;
  if (!(seconds >= 60)) return pick("now", "עכשיו");  // also a clock that ran backwards
  long long minutes = static_cast<long long>(seconds / 60);
  bool hebrew = Lang::hebrew();
  auto words = [&](long long n, const char* english, const char* hebrewUnit) {
    return hebrew ? "לפני " + std::to_string(n) + hebrewUnit : std::to_string(n) + english;
  };
  if (minutes < 60) return words(minutes, "m ago", "ד");
  if (minutes >= 1440) return words(minutes / 1440, "d ago", "י");
  return words(minutes / 60, "h ago", "ש");
}

std::string since(Clock::Time date) {
  double elapsed = Clock::now() - date;
  long long s = elapsed > 0 && std::isfinite(elapsed) ? static_cast<long long>(elapsed) : 0;
  char buf[64];
  if (s < 60) return std::to_string(s) + pick("s", " שנ׳");
  if (s < 3600) {
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 3600, (s % 3600) / 60);
  return buf + pick("h", " שע׳");
}

int rank(const std::string& key) {
  if (key == "ask") return 0;
  if (key == "run") return 1;
  if (key == "wait") return 2;
  if (key == "muted") return 4;
  return 3;
}

std::string tokens(int64_t count) {
  return count < 1000 ? std::to_string(count) : std::to_string(count / 1000) + "k";
}

std::string homePath(const std::string& path) {
  return Text::abbreviateHome(path, Paths::home());
}

}  // namespace Panel
