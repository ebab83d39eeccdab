#include "sessions/questions.h"

#include <simdjson.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "base/caches.h"
#include "base/file_memo.h"
#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "sessions/json_line.h"
#include "sessions/questions_read.h"
#include "sessions/state.h"

namespace Questions {

namespace {
namespace dom = simdjson::dom;
using simdjson::SUCCESS;

constexpr std::string_view kAskMarker = "\"AskUserQuestion\"";
constexpr std::string_view kPlanMarker = "\"ExitPlanMode\"";
constexpr std::string_view kUseMarker = "\"tool_use\"";
constexpr std::string_view kTextMarker = "\"text\"";
// A prompt typed as plain text is written as a string with no "text" key; this is how
// such a line is still seen, since it ends the agent's words before the question.
constexpr std::string_view kUserMarker = "\"user\"";
constexpr std::string_view kToolResultMarker = "\"toolUseResult\"";

constexpr int64_t kTailBytes = 2000000;
constexpr size_t kProseLines = 400;
constexpr size_t kProseCharacters = 2000;
constexpr size_t kCacheCap = 200;
constexpr size_t kSeenCap = 400;

FileMemo<std::optional<PendingQuestion>> memo("questions", kCacheCap);  // session id → result

std::mutex lock;  // guards seen, never held while a transcript is read
std::unordered_map<std::string, std::string> seen;  // session id → last traced signature
const Caches::Enrolled seenEnrolled = Caches::guarded("questions traced", lock, seen);

// A line of the tail, as a byte range.
struct Span {
  size_t start = 0;
  size_t end = 0;
};

// Walks the lines of data[floor, end) from the last to the first, skipping empty ones.
class Backwards {
 public:
  Backwards(std::string_view data, size_t floor, size_t end) : data(data), floor(floor), at(end) {}
  bool next(Span& line) {
    while (at > floor) {
      const void* lf = ::memrchr(data.data() + floor, '\n', at - floor);
      size_t start =
          lf ? static_cast<size_t>(static_cast<const char*>(lf) - data.data()) + 1 : floor;
      line = Span{start, at};
      at = lf ? start - 1 : floor;
      if (line.end > line.start) return true;
    }
    return false;
  }

 private:
  std::string_view data;
  size_t floor;
  size_t at;
};

bool sidechain(dom::object record) {
  bool value = false;
  return record["isSidechain"].get(value) == SUCCESS && value;
}

std::string textOf(dom::object object, std::string_view key) {
  std::string_view value;
  return object[key].get(value) == SUCCESS ? std::string(value) : std::string();
}

std::vector<AskPart> partsOf(dom::object input) {
  std::vector<AskPart> parts;
  dom::array questions;
  if (input["questions"].get(questions) != SUCCESS) return parts;
  for (dom::element entry : questions) {
    dom::object q;
    if (entry.get(q) != SUCCESS) continue;
    AskPart part;
    part.question = textOf(q, "question");
    part.header = textOf(q, "header");
    bool multi = false;
    part.multi = q["multiSelect"].get(multi) == SUCCESS && multi;
    dom::array options;
    if (q["options"].get(options) == SUCCESS) {
      for (dom::element o : options) {
        dom::object option;
        if (o.get(option) != SUCCESS) continue;
        part.choices.push_back(AskChoice{textOf(option, "label"), textOf(option, "description")});
      }
    }
    parts.push_back(std::move(part));
  }
  return parts;
}

// Cuts the first line of a tail that began inside the file: it is a fragment.
size_t firstWhole(std::string_view data, bool cut) {
  if (!cut) return 0;
  const void* lf = std::memchr(data.data(), '\n', data.size());
  return lf ? static_cast<size_t>(static_cast<const char*>(lf) - data.data()) + 1 : data.size();
}

std::string signature(const std::optional<PendingQuestion>& q) {
  return q ? q->kind + ":" + q->toolID : "-";
}
}  // namespace

bool holds(std::string_view range, std::string_view marker) {
  return ::memmem(range.data(), range.size(), marker.data(), marker.size()) != nullptr;
}

std::string prose(std::string_view data, size_t end, size_t floor) {
  Sessions::JsonLine parser;
  Backwards walk(data, floor, end);
  Span span;
  for (size_t walked = 0; walked < kProseLines && walk.next(span); ++walked) {
    std::string_view line = data.substr(span.start, span.end - span.start);
    // Tool results hold nothing the person or the agent said.
    if (holds(line, kToolResultMarker)) continue;
    if (!holds(line, kTextMarker) && !holds(line, kUserMarker)) continue;
    auto record = parser.object(line);
    if (!record || sidechain(*record)) continue;
    std::string_view type;
    if ((*record)["type"].get(type) != SUCCESS) continue;
    dom::element content;
    if ((*record)["message"]["content"].get(content) != SUCCESS) continue;
    if (type == "user") {
      // The person's previous turn: whatever the agent said before it answered that.
      if (content.is_string()) return "";
      dom::array items;
      if (content.get(items) != SUCCESS) continue;
      for (dom::element item : items) {
        std::string_view kind;
        if (item["type"].get(kind) == SUCCESS && kind == "text") return "";
      }
    } else if (type == "assistant") {
      dom::array items;
      if (content.get(items) != SUCCESS) continue;
      std::string joined;
      size_t pieces = 0;
      for (dom::element item : items) {
        std::string_view kind, piece;
        if (item["type"].get(kind) != SUCCESS || kind != "text") continue;
        if (item["text"].get(piece) != SUCCESS) continue;
        if (pieces++ > 0) joined += '\n';
        joined += piece;
      }
      std::string said = Text::trim(joined);
      if (!said.empty()) return Text::prefix(said, kProseCharacters);
    }
  }
  return "";
}

std::optional<PendingQuestion> find(std::string_view data, bool cut, const std::string& sessionID,
                                    Clock::Time now) {
  const size_t floor = firstWhole(data, cut);
  Sessions::JsonLine parser;
  Backwards walk(data, floor, data.size());
  Span span;
  while (walk.next(span)) {
    std::string_view line = data.substr(span.start, span.end - span.start);
    if (!holds(line, kAskMarker) && !holds(line, kPlanMarker)) continue;
    if (!holds(line, kUseMarker)) continue;
    auto record = parser.object(line);
    if (!record || sidechain(*record)) continue;
    std::string_view type;
    if ((*record)["type"].get(type) != SUCCESS || type != "assistant") continue;
    dom::array items;
    if ((*record)["message"]["content"].get(items) != SUCCESS) continue;

    for (dom::element item : items) {
      std::string_view kind, name;
      if (item["type"].get(kind) != SUCCESS || kind != "tool_use") continue;
      if (item["name"].get(name) != SUCCESS) continue;
      if (name != "AskUserQuestion" && name != "ExitPlanMode") continue;

      // The newest question decides; older ones are never considered, answered or not.
      PendingQuestion q;
      q.sid = sessionID;
      q.kind = name == "ExitPlanMode" ? "plan" : "ask";
      std::string_view id;
      if (item["id"].get(id) == SUCCESS) q.toolID = id;
      q.since = now;
      std::string_view stamp;
      if ((*record)["timestamp"].get(stamp) == SUCCESS)
        if (auto t = Sessions::time(stamp)) q.since = *t;
      dom::object input;
      if (item["input"].get(input) == SUCCESS) {
        if (q.kind == "plan")
          q.plan = textOf(input, "plan");
        else
          q.parts = partsOf(input);
      }

      // A tool result names the call it answers; the agent writes the key compactly, other
      // writers with a blank after the colon.
      std::string_view after = data.substr(span.end);
      if (holds(after, "\"tool_use_id\":\"" + q.toolID + "\"") ||
          holds(after, "\"tool_use_id\": \"" + q.toolID + "\""))
        return std::nullopt;
      q.context = prose(data, span.start, floor);
      return q;
    }
  }
  return std::nullopt;
}

std::optional<PendingQuestion> read(const std::string& path, const std::string& sessionID) {
  auto tail = Files::readTail(path, kTailBytes);
  if (!tail) return std::nullopt;
  return find(tail->bytes, tail->cut, sessionID, Clock::now());
}

void trace(const std::string& sessionID, int64_t size, Clock::Time modified,
           const std::optional<PendingQuestion>& result) {
  const std::string now = signature(result);
  {
    std::lock_guard<std::mutex> guard(lock);
    auto it = seen.find(sessionID);
    if (it != seen.end() && it->second == now) return;
    const bool known = it != seen.end();
    if (!known && seen.size() >= kSeenCap) seen.clear();
    seen[sessionID] = now;
    // A session that never had a question is not worth a line.
    if (!known && now == "-") return;
  }
  Log::line(Paths::agent("velmo-asks.log"),
            sessionID + " size=" + std::to_string(size) + " mtime=" +
                std::to_string(static_cast<long long>(std::floor(modified))) + " ask=" + now);
}

std::optional<PendingQuestion> pending(const std::string& sessionID) {
  if (sessionID.empty()) return std::nullopt;
  auto path = Sessions::transcriptURL(sessionID);
  if (!path) return std::nullopt;
  auto attrs = Files::attributes(*path);
  if (!attrs) return std::nullopt;
  if (auto known = memo.find(sessionID, attrs->size, attrs->modified)) return *known;
  auto result = read(*path, sessionID);
  memo.keep(sessionID, attrs->size, attrs->modified, result);
  trace(sessionID, attrs->size, attrs->modified, result);
  return result;
}

}  // namespace Questions
