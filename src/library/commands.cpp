#include "library/commands.h"

#include <algorithm>
#include <mutex>
#include <optional>

#include "base/caches.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/text.h"

namespace Commands {
namespace {

constexpr double kCacheSeconds = 60;
constexpr int64_t kFrontMatterBytes = 4000;
constexpr size_t kHintCharacters = 220;

struct BuiltIn {
  const char* name;
  const char* english;
  const char* hebrew;
  bool interactive;
};

// The agent's own commands. Those that open a picker or a screen when typed bare are
// marked interactive, so the chat can raise the terminal for the user to finish there.
constexpr BuiltIn kBuiltIns[] = {
    {"clear", "Clear the context and start fresh", "לנקות את ההקשר ולהתחיל שיחה חדשה", false},
    {"compact", "Compact the conversation and keep the gist", "לכווץ את השיחה ולשמור את התמצית",
     false},
    {"context", "What is filling the context window", "מה תופס את חלון־ההקשר", true},
    {"cost", "What the conversation cost", "כמה עלתה השיחה", true},
    {"usage", "Usage quota", "מכסת השימוש", true},
    {"status", "Connection and account status", "מצב החיבור והחשבון", true},
    {"model", "Pick a model", "בחירת מודל", true},
    {"config", "Settings", "הגדרות", true},
    {"permissions", "Tool permissions", "הרשאות כלים", true},
    {"agents", "Custom agents", "סוכנים מותאמים", true},
    {"mcp", "External access servers", "שרתי גישה חיצוניים", true},
    {"hooks", "Hooks", "ווים", true},
    {"resume", "Resume an earlier conversation", "לחזור לשיחה קודמת", true},
    {"rewind", "Rewind the conversation", "לחזור אחורה בשיחה", true},
    {"memory", "Edit memory", "עריכת הזיכרון", true},
    {"todos", "Task list", "רשימת המשימות", true},
    {"review", "Code review", "סקירת קוד", false},
    {"security-review", "Security review", "סקירת אבטחה", false},
    {"init", "Generate a project instructions file", "לייצר קובץ־הנחיות לפרויקט", true},
    {"export", "Export the conversation", "לייצא את השיחה", true},
    {"add-dir", "Add a folder to the context", "להוסיף תיקייה להקשר", true},
    {"pr-comments", "Comments on a pull request", "הערות על בקשת־מיזוג", false},
    {"doctor", "Install diagnostics", "אבחון התקנה", true},
    {"help", "Help", "עזרה", true},
    {"release-notes", "What is new", "מה חדש", true},
    {"vim", "Edit mode", "מצב עריכה", true},
    {"output-style", "Output style", "סגנון הפלט", true},
    {"statusline", "Status line", "שורת־המצב", true},
    {"exit", "Exit the terminal", "לצאת מהמסוף", false},
};

std::mutex lock;
std::vector<Command> cache;
Clock::Time stamp = Clock::kDistantPast;

bool byName(const Command& a, const Command& b) {
  return a.name < b.name;
}

std::vector<Command> markdownFiles(const std::string& folder, Source source) {
  std::vector<Command> out;
  auto entries = Files::list(folder);
  if (!entries) return out;
  for (const auto& e : *entries) {
    if (Files::extension(e.name) != "md") continue;
    // Names go to the page as JSON, which holds only valid UTF-8; file names are bytes.
    out.push_back(
        {Text::validUtf8(Files::baseName(e.name)), frontMatter(e.path), kindWord(source), false});
  }
  std::sort(out.begin(), out.end(), byName);
  return out;
}

std::vector<Command> skills(const std::string& folder) {
  std::vector<Command> out;
  auto entries = Files::list(folder);
  if (!entries) return out;
  for (const auto& e : *entries) {
    std::string file = Files::join(e.path, "SKILL.md");
    if (!Files::exists(file)) continue;
    out.push_back({Text::validUtf8(e.name), frontMatter(file), kindWord(Source::skill), false});
  }
  std::sort(out.begin(), out.end(), byName);
  return out;
}

std::vector<Command> build() {
  std::vector<Command> list = builtIns();
  for (auto part :
       {markdownFiles(Paths::agent("commands"), Source::commandFile),
        skills(Paths::agent("skills")), markdownFiles(Paths::agent("agents"), Source::agent)})
    list.insert(list.end(), part.begin(), part.end());
  return list;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::string kindWord(Source source) {
  switch (source) {
    case Source::builtIn:
      return Lang::pick("built-in", "מובנית");
    case Source::commandFile:
      return Lang::pick("command", "פקודה");
    case Source::skill:
      return Lang::pick("skill", "סקיל");
    case Source::agent:
      return Lang::pick("agent", "סוכן");
  }
  return "";
}

const std::vector<Command>& builtIns() {
  // Built once per language; the interface language itself is fixed at first use.
  static const std::vector<Command> english = [] {
    std::vector<Command> out;
    for (const auto& b : kBuiltIns) out.push_back({b.name, b.english, "built-in", b.interactive});
    return out;
  }();
  static const std::vector<Command> hebrew = [] {
    std::vector<Command> out;
    for (const auto& b : kBuiltIns) out.push_back({b.name, b.hebrew, "מובנית", b.interactive});
    return out;
  }();
  return Lang::hebrew() ? hebrew : english;
}

std::vector<Command> all() {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (Clock::now() - stamp < kCacheSeconds) return cache;
  }
  // Read outside the lock: two stale callers may both build, and the later store stays.
  std::vector<Command> list = build();
  std::lock_guard<std::mutex> guard(lock);
  cache = list;
  stamp = Clock::now();
  return list;
}

nlohmann::json payload() {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& c : all())
    out.push_back(
        {{"name", c.name}, {"hint", c.hint}, {"kind", c.kind}, {"interactive", c.interactive}});
  return out;
}

bool opensPicker(const std::string& text) {
  auto pieces = Text::split(text, ' ');
  std::string first = pieces.empty() ? text : pieces.front();
  if (Text::trim(text) != first) return false;
  for (const auto& c : all())
    if ("/" + c.name == first) return c.interactive;
  return false;
}

std::string frontMatter(const std::string& file) {
  // Descriptions live at the top, so a huge file costs little.
  auto bytes = Files::readHead(file, kFrontMatterBytes);
  if (!bytes) return "";
  return descriptionIn(Text::validUtf8(*bytes));
}

std::string descriptionIn(const std::string& text) {
  auto lines = Text::split(text, '\n', false);
  // A file saved with Windows line ends keeps a carriage return on every line; it is part
  // of the line end, not of the value (else a closing quote would never be seen).
  for (auto& l : lines)
    if (!l.empty() && l.back() == '\r') l.pop_back();
  size_t at = 0;
  while (at < lines.size() && !Text::startsWith(lines[at], "description:")) ++at;
  if (at == lines.size()) return "";
  std::string value = Text::trimBlanks(std::string_view(lines[at]).substr(12));
  if (value == ">" || value == "|" || value == ">-" || value == "|-") {
    std::vector<std::string> kept;
    for (size_t i = at + 1; i < lines.size() && !lines[i].empty() && isBlank(lines[i][0]); ++i)
      kept.push_back(Text::trimBlanks(lines[i]));
    value = Text::join(kept, " ");
  }
  if (!value.empty() && value.front() == '"') {
    value.erase(0, 1);
    if (!value.empty() && value.back() == '"') value.pop_back();
  }
  return Text::prefix(value, kHintCharacters);
}

namespace {
const Caches::Enrolled enrolled(
    "commands",
    [] {
      std::lock_guard<std::mutex> guard(lock);
      cache.clear();
      stamp = Clock::kDistantPast;
    },
    [] {
      std::lock_guard<std::mutex> guard(lock);
      return cache.size() + (stamp > Clock::kDistantPast ? 1 : 0);
    });
}  // namespace

}  // namespace Commands
