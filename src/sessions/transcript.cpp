#include "sessions/transcript.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "base/caches.h"
#include "base/file_memo.h"
#include "base/files.h"
#include "base/text.h"
#include "sessions/json_line.h"
#include "sessions/state.h"

namespace Transcript {

namespace {
namespace dom = simdjson::dom;
using simdjson::SUCCESS;

// Tool results are the bulk of a transcript and never shown, so they are recognised by
// their bytes and never parsed.
constexpr std::string_view kToolMarker = "\"toolUseResult\"";

// Blocks the agent adds to what the person typed; the person never wrote them.
constexpr std::array<std::string_view, 9> kSystemTags = {
    "system-reminder", "task-notification",    "command-name",         "command-message",
    "command-args",    "local-command-stdout", "local-command-stderr", "user-prompt-submit-hook",
    "budget-warning"};

// Tool inputs whose value says best what a call is about, most telling first.
constexpr std::array<std::string_view, 8> kArgKeys = {
    "file_path", "path", "pattern", "command", "url", "skill", "description", "prompt"};
constexpr size_t kArgCharacters = 60;

// Tail sizes tried in turn, so a short window of a huge transcript costs one megabyte.
constexpr std::array<uint64_t, 4> kLadder = {1000000, 4000000, 12000000, 48000000};
// From this count on the whole file is read at once.
constexpr int kWholeFile = 100000;
constexpr std::array<int, 5> kReachCounts = {24, 80, 250, 800, kWholeFile};
// Tool-heavy stretches can hold thousands of rows between two sayings; the cap bounds
// what one window collects.
constexpr size_t kMinimumCap = 600;
constexpr size_t kCapPerWanted = 14;
constexpr size_t kCacheCap = 40;

FileMemo<Reading> memo("transcript readings", kCacheCap);  // "sid|want" → reading

std::mutex lock;  // guards learned, never held while a file is read
std::unordered_map<std::string, uint64_t> learned;  // sid → tail size that sufficed
const Caches::Enrolled learnedEnrolled = Caches::guarded("learned transcript tails", lock, learned);

bool holds(std::string_view bytes, std::string_view needle) {
  return ::memmem(bytes.data(), bytes.size(), needle.data(), needle.size()) != nullptr;
}

bool isLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool flag(dom::object record, std::string_view key) {
  bool value = false;
  return record[key].get(value) == SUCCESS && value;
}

std::string argOf(dom::element input) {
  dom::object fields;
  if (input.get(fields) != SUCCESS) return "";
  for (std::string_view key : kArgKeys) {
    std::string_view value;
    if (fields[key].get(value) != SUCCESS || value.empty()) continue;
    std::string oneLine(value);
    std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
    return Text::prefix(oneLine, kArgCharacters);
  }
  return "";
}

// The "text" items of a content list joined with line feeds.
std::string joinedText(dom::array items) {
  std::string joined;
  size_t pieces = 0;
  for (dom::element item : items) {
    std::string_view type, piece;
    if (item["type"].get(type) != SUCCESS || type != "text") continue;
    if (item["text"].get(piece) != SUCCESS) continue;
    if (pieces++ > 0) joined += '\n';
    joined += piece;
  }
  return joined;
}

void say(std::vector<Line>& out, const char* role, std::string text, Clock::Time time) {
  if (text.empty()) return;
  out.push_back(Line{role, std::move(text), "", time});
}

std::vector<Line> linesOf(dom::object record) {
  std::vector<Line> out;
  if (flag(record, "isSidechain") || flag(record, "isMeta")) return out;
  Clock::Time time = Clock::kDistantPast;
  std::string_view stamp;
  if (record["timestamp"].get(stamp) == SUCCESS)
    if (auto t = Sessions::time(stamp)) time = *t;

  std::string_view type;
  if (record["type"].get(type) != SUCCESS) return out;
  if (type == "attachment") {
    if (auto prompt = Sessions::queuedPrompt(record)) say(out, "you", human(*prompt), time);
    return out;
  }
  dom::object message;
  if (record["message"].get(message) != SUCCESS) return out;
  dom::element content;
  if (message["content"].get(content) != SUCCESS) return out;

  if (type == "user") {
    std::string_view typed;
    if (content.get(typed) == SUCCESS) {
      say(out, "you", human(typed), time);
      return out;
    }
    dom::array items;
    if (content.get(items) != SUCCESS) return out;
    for (dom::element item : items) {
      std::string_view kind;
      // A record that answers a tool call is the tool's, even when it carries text too.
      if (item["type"].get(kind) == SUCCESS && kind == "tool_result") return out;
    }
    say(out, "you", human(joinedText(items)), time);
  } else if (type == "assistant") {
    dom::array items;
    if (content.get(items) != SUCCESS) return out;
    say(out, "claude", Text::trim(joinedText(items)), time);
    for (dom::element item : items) {
      std::string_view kind;
      if (item["type"].get(kind) != SUCCESS || kind != "tool_use") continue;
      std::string_view name;
      if (item["name"].get(name) != SUCCESS) name = "";
      dom::element input;
      std::string arg = item["input"].get(input) == SUCCESS ? argOf(input) : "";
      out.push_back(Line{"tool", Sessions::hebrewTool(std::string(name)), std::move(arg), time});
    }
  }
  return out;
}

std::vector<Line> parseWith(Sessions::JsonLine& parser, std::string_view record) {
  if (holds(record, kToolMarker)) return {};
  auto object = parser.object(record);
  if (!object) return {};
  return linesOf(*object);
}

size_t spoken(const std::vector<Line>& lines) {
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(), [](const Line& l) { return l.role != "tool"; }));
}

// The tail sizes to try for a session, given the one that sufficed last time.
std::vector<uint64_t> tailsFor(int want, int64_t size, std::optional<uint64_t> known) {
  const uint64_t whole = static_cast<uint64_t>(std::max<int64_t>(size, 1));
  if (want >= kWholeFile) return {whole};
  std::vector<uint64_t> tails;
  for (uint64_t tail : kLadder)
    if (!known || tail >= *known) tails.push_back(tail);
  if (tails.empty()) tails.push_back(whole);
  return tails;
}
}  // namespace

std::string withoutTerminalCodes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c == '\x1b') {
      size_t j = i + 1;
      while (j < n && !isLetter(text[j])) ++j;
      i = j < n ? j + 1 : n;
      continue;
    }
    if (c == '<') {
      // Mouse reports ("<35;12;5M") leak into prompts when a terminal's mouse mode
      // outlives the program that asked for it.
      size_t j = i + 1, digits = 0;
      for (; j < n && (isDigit(text[j]) || text[j] == ';'); ++j)
        if (isDigit(text[j])) ++digits;
      if (j < n && (text[j] == 'M' || text[j] == 'm') && digits >= 3) {
        i = j + 1;
        continue;
      }
    }
    out += c;
    ++i;
  }
  return out;
}

std::string withoutSystemBlocks(std::string_view text) {
  std::string s(text);
  for (std::string_view tag : kSystemTags) {
    const std::string open = "<" + std::string(tag) + ">";
    const std::string close = "</" + std::string(tag) + ">";
    for (size_t at = s.find(open); at != std::string::npos; at = s.find(open)) {
      size_t closing = s.find(close, at + open.size());
      if (closing == std::string::npos)
        s.erase(at);
      else
        s.erase(at, closing + close.size() - at);
    }
  }
  return withoutTerminalCodes(s);
}

std::string human(std::string_view text) {
  return Text::trim(withoutTerminalCodes(withoutSystemBlocks(text)));
}

std::vector<Line> parse(std::string_view record) {
  Sessions::JsonLine parser;
  return parseWith(parser, record);
}

std::vector<Line> collapse(std::vector<Line> lines) {
  std::vector<Line> kept;
  kept.reserve(lines.size());
  for (Line& line : lines) {
    if (line.role == "tool" && !kept.empty() && kept.back().role == "tool" &&
        kept.back().text == line.text && kept.back().arg == line.arg)
      continue;
    kept.push_back(std::move(line));
  }
  return kept;
}

Reading readBytes(std::string_view data, bool cut, int want) {
  const size_t wanted = static_cast<size_t>(std::max(want, 0));
  const size_t cap = std::max(kCapPerWanted * wanted, kMinimumCap);
  Sessions::JsonLine parser;
  std::vector<std::vector<Line>> backwards;  // one entry per record, newest first
  size_t collected = 0, said = 0;
  size_t end = data.size();
  bool reachedStart = false;
  while (true) {
    // Find the next line with something in it, walking back from `end`.
    std::string_view line;
    bool first = false;
    while (end > 0) {
      const void* lf = ::memrchr(data.data(), '\n', end);
      size_t start = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data.data()) + 1 : 0;
      first = lf == nullptr;
      line = data.substr(start, end - start);
      end = lf ? start - 1 : 0;
      if (!line.empty()) break;
    }
    if (line.empty()) {
      reachedStart = true;
      break;
    }
    if (said >= wanted || collected >= cap) break;
    // The window began inside a record; the fragment is not one.
    if (first && cut) break;
    auto lines = parseWith(parser, line);
    collected += lines.size();
    said += spoken(lines);
    if (!lines.empty()) backwards.push_back(std::move(lines));
    if (first) {
      reachedStart = true;
      break;
    }
  }

  Reading reading;
  reading.lines.reserve(collected);
  for (auto it = backwards.rbegin(); it != backwards.rend(); ++it)
    for (Line& l : *it) reading.lines.push_back(std::move(l));
  const bool dropped = reading.lines.size() > cap;
  if (dropped)
    reading.lines.erase(
        reading.lines.begin(),
        reading.lines.begin() + static_cast<std::ptrdiff_t>(reading.lines.size() - cap));
  reading.lines = collapse(std::move(reading.lines));
  reading.atStart = !cut && reachedStart && !dropped;
  return reading;
}

Reading readWindow(const std::string& path, uint64_t tail, int want) {
  const int64_t bytes = static_cast<int64_t>(std::min<uint64_t>(tail, INT64_MAX));
  auto window = Files::readTail(path, bytes);
  if (!window) return Reading{{}, true};
  return readBytes(window->bytes, window->cut, want);
}

Reading read(const std::string& sessionID, int want) {
  auto path = Sessions::transcriptURL(sessionID);
  if (!path) return Reading{{}, true};
  auto attrs = Files::attributes(*path);
  const int64_t size = attrs ? attrs->size : 0;
  const Clock::Time modified = attrs ? attrs->modified : Clock::kDistantPast;
  const std::string key = sessionID + "|" + std::to_string(want);

  if (auto kept = memo.find(key, size, modified)) return std::move(*kept);
  std::optional<uint64_t> known = learnedTail(sessionID);

  Reading reading;
  for (uint64_t tail : tailsFor(want, size, known)) {
    reading = readWindow(*path, tail, want);
    if (spoken(reading.lines) < static_cast<size_t>(std::max(want, 0)) && !reading.atStart)
      continue;
    // Only a rung of the ladder is remembered: a whole-file read for the full history
    // must not make every later short window read the whole file again.
    if (want < kWholeFile) {
      std::lock_guard<std::mutex> guard(lock);
      learned[sessionID] = tail;
    }
    break;
  }

  memo.keep(key, size, modified, reading);
  return reading;
}

int want(double time, const std::string& sessionID) {
  if (time <= 0) return kReachCounts.front();
  for (int count : kReachCounts) {
    Reading reading = read(sessionID, count);
    if (reading.atStart) return count;
    if (reading.lines.empty()) continue;
    const Clock::Time first = reading.lines.front().time;
    if (first > 0 && first <= time - 1) return count;
  }
  return kReachCounts.back();
}

std::optional<uint64_t> learnedTail(const std::string& sessionID) {
  std::lock_guard<std::mutex> guard(lock);
  auto it = learned.find(sessionID);
  if (it == learned.end()) return std::nullopt;
  return it->second;
}

}  // namespace Transcript
