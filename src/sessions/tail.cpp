#include "sessions/tail.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "base/text.h"
#include "sessions/json_line.h"

namespace Sessions {

namespace {
namespace dom = simdjson::dom;
using simdjson::SUCCESS;

// Tool-result records are the bulk of a transcript and say nothing about the state,
// so they are recognised by their bytes and never parsed.
constexpr std::string_view kToolMarker = "\"toolUseResult\"";
constexpr size_t kSnippetCharacters = 160;
constexpr double kAnswerFreshSeconds = 30;
constexpr double kAnswerWaitingSeconds = 21600;
constexpr double kBusySeconds = 150;

bool holds(std::string_view line, std::string_view needle) {
  return ::memmem(line.data(), line.size(), needle.data(), needle.size()) != nullptr;
}

// A token count as the agent writes it; anything that is not a number counts 0. Bounded
// so that three of them can be added without overflow.
int64_t count(dom::object usage, std::string_view key) {
  constexpr int64_t kCap = std::numeric_limits<int64_t>::max() / 4;
  dom::element e;
  if (usage[key].get(e) != SUCCESS) return 0;
  int64_t i;
  uint64_t u;
  double d;
  if (e.get(i) == SUCCESS) return std::clamp(i, -kCap, kCap);
  if (e.get(u) == SUCCESS) return kCap;  // only values past int64 land here
  if (e.get(d) == SUCCESS) return static_cast<int64_t>(std::clamp(d, -1e18, 1e18));
  return 0;
}

void userTurn(dom::object message, TailSummary& s) {
  dom::element content;
  if (message["content"].get(content) != SUCCESS) return;
  if (content.is_string()) {
    s.lastKind = LastKind::human;
    return;
  }
  dom::array items;
  if (content.get(items) != SUCCESS) return;
  bool result = false;
  for (dom::element item : items) {
    std::string_view type;
    if (item["type"].get(type) == SUCCESS && type == "tool_result") result = true;
  }
  s.lastKind = result ? LastKind::result : LastKind::human;
}

void assistantTurn(dom::object message, TailSummary& s) {
  std::string_view model;
  if (message["model"].get(model) == SUCCESS) s.model = model;
  dom::object usage;
  if (message["usage"].get(usage) == SUCCESS) {
    int64_t prompt = count(usage, "input_tokens") + count(usage, "cache_read_input_tokens") +
                     count(usage, "cache_creation_input_tokens");
    if (prompt > 0) s.contextTokens = prompt;
  }
  bool toolCall = false;
  bool newestHasName = false;
  std::string_view newestName;
  std::string joined;
  size_t texts = 0;
  dom::array items;
  // Content that is not a list counts as empty.
  if (message["content"].get(items) == SUCCESS) {
    for (dom::element item : items) {
      std::string_view type;
      if (item["type"].get(type) != SUCCESS) continue;
      if (type == "tool_use") {
        toolCall = true;
        newestHasName = item["name"].get(newestName) == SUCCESS;
      } else if (type == "text") {
        std::string_view piece;
        if (item["text"].get(piece) != SUCCESS) continue;
        if (texts++ > 0) joined += ' ';
        joined += piece;
      }
    }
  }
  if (toolCall && newestHasName) s.lastTool = newestName;
  std::string said = Text::trim(joined);
  const bool spoke = !said.empty();
  if (spoke) s.text = clean(std::move(said));
  if (toolCall)
    s.lastKind = LastKind::tool;
  else if (spoke)
    s.lastKind = LastKind::answer;
  // A record with only thinking in it leaves the turn as it was.
}

void apply(dom::object record, TailSummary& s) {
  bool sidechain = false;
  if (record["isSidechain"].get(sidechain) == SUCCESS && sidechain) return;
  std::string_view v;
  if (record["aiTitle"].get(v) == SUCCESS && !v.empty()) s.aiTitle = v;
  if (record["customTitle"].get(v) == SUCCESS && !v.empty()) s.customTitle = v;
  if (record["cwd"].get(v) == SUCCESS) s.cwd = v;
  if (record["timestamp"].get(v) == SUCCESS)
    if (auto t = Sessions::time(v)) s.lastEvent = *t;

  std::string_view type;
  if (record["type"].get(type) != SUCCESS) return;
  if (type == "attachment") {
    if (auto prompt = queuedPrompt(record)) s.text = clean(std::string(*prompt));
    return;
  }
  dom::object message;
  if (record["message"].get(message) != SUCCESS) return;
  if (type == "user")
    userTurn(message, s);
  else if (type == "assistant")
    assistantTurn(message, s);
}
}  // namespace

TailSummary summarise(std::string bytes, bool cut, Clock::Time modified) {
  TailSummary s;
  s.lastEvent = modified;
  const size_t end = bytes.size();
  // The parser reads in blocks past the end of each line; the bytes there only need to exist.
  bytes.append(simdjson::SIMDJSON_PADDING, ' ');
  JsonLine parser;
  size_t at = 0;
  if (cut) {
    // The tail began inside a record; that fragment is not one.
    const void* lf = std::memchr(bytes.data(), '\n', end);  // NOLINT(bugprone-not-null-terminated-result): bytes, not a string
    at = lf ? static_cast<size_t>(static_cast<const char*>(lf) - bytes.data()) + 1 : end;
  }
  while (at < end) {
    const void* lf = std::memchr(bytes.data() + at, '\n', end - at);
    // A last line without its line feed is still being written; it is read once complete.
    if (!lf) break;
    size_t stop = static_cast<size_t>(static_cast<const char*>(lf) - bytes.data());
    std::string_view line(bytes.data() + at, stop - at);
    at = stop + 1;
    if (line.empty() || holds(line, kToolMarker)) continue;
    auto record = parser.objectInPlace(line);
    if (!record) continue;
    apply(*record, s);
  }
  return s;
}

std::string clean(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  for (std::string_view mark : {"**", "###", "##", "`"}) text = Text::replaceAll(std::move(text), mark, "");
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != ' ' || out.empty() || out.back() != ' ') out += c;
  return Text::trimBlanks(out);
}

SessionState::Mode deriveMode(LastKind kind, double elapsed) {
  using Mode = SessionState::Mode;
  // After an answer the agent waits for the person; after anything else it is still busy,
  // unless it has been silent so long that it must have stopped.
  if (kind == LastKind::answer) {
    if (elapsed < kAnswerFreshSeconds) return Mode::working;
    if (elapsed <= kAnswerWaitingSeconds) return Mode::waiting;
    return Mode::quiet;
  }
  return elapsed < kBusySeconds ? Mode::working : Mode::quiet;
}

void settle(SessionState& state, LastKind kind, const std::string& lastTool, Clock::Time now) {
  state.mode = deriveMode(kind, now - state.lastEvent);
  state.activity = state.mode == SessionState::Mode::working ? hebrewTool(lastTool) : "";
}

SessionState build(const std::string& id, const TailSummary& summary, Clock::Time now) {
  SessionState state;
  state.id = id;
  state.title = summary.customTitle.empty() ? summary.aiTitle : summary.customTitle;
  state.cwd = summary.cwd;
  state.project = summary.cwd.empty() ? "" : Text::lastComponent(summary.cwd);
  state.lastEvent = summary.lastEvent;
  state.model = modelLabel(summary.model);
  state.modelID = summary.model;
  state.contextTokens = summary.contextTokens;
  state.snippet = Text::prefix(summary.text, kSnippetCharacters);
  settle(state, summary.lastKind, summary.lastTool, now);
  return state;
}

}  // namespace Sessions
