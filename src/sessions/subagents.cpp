#include "sessions/subagents.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/file_memo.h"
#include "base/files.h"
#include "base/json_field.h"
#include "base/lang.h"
#include "base/text.h"
#include "sessions/json_line.h"
#include "sessions/state.h"

// A sub-agent's transcript sits beside a meta file the agent writes about half a second
// earlier, and rewrites with "finished": true once the sub-agent is done. The file time
// alone would keep a finished sub-agent "running" for two minutes, so the meta file decides
// first and is read again whenever it changes.
namespace Agents {

namespace {
constexpr int64_t kBeatBytes = 400000;
constexpr size_t kSayCharacters = 150;
constexpr int64_t kHeadBytes = int64_t{64} * 1024;
constexpr size_t kMemoCap = 2000;

FileMemo<Meta> metaMemo("sub-agent meta files", kMemoCap);

Meta defaults() {
  Meta meta;
  meta.kind = Lang::pick("agent", "סוכן");
  return meta;
}

Meta parseMeta(const std::string& text) {
  Meta meta = defaults();
  auto json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object()) return meta;
  if (auto kind = JsonField::text(json, "agentType"); !kind.empty()) meta.kind = kind;
  meta.task = JsonField::text(json, "description");
  meta.model = Sessions::modelLabel(JsonField::text(json, "model"));
  if (auto it = json.find("spawnDepth"); it != json.end() && it->is_number_integer())
    meta.depth = it->get<int64_t>();
  if (auto it = json.find("finished"); it != json.end() && it->is_boolean())
    meta.finished = it->get<bool>();
  return meta;
}

std::string metaPath(const std::string& transcript) {
  std::string stem = Text::endsWith(transcript, ".jsonl")
                         ? transcript.substr(0, transcript.size() - 6)
                         : transcript;
  return stem + ".meta.json";
}

std::optional<Clock::Time> birthTime(const std::string& path) {
  struct statx sx {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &sx) != 0) return std::nullopt;
  if (!(sx.stx_mask & STATX_BTIME) || sx.stx_btime.tv_sec == 0) return std::nullopt;
  return static_cast<double>(sx.stx_btime.tv_sec) + sx.stx_btime.tv_nsec / 1e9;
}

std::optional<Clock::Time> firstStamp(const std::string& path) {
  auto head = Files::readHead(path, kHeadBytes);
  if (!head) return std::nullopt;
  auto end = head->find('\n');
  if (end == std::string::npos) return std::nullopt;  // the first record is still being written
  auto json = nlohmann::json::parse(head->substr(0, end), nullptr, false);
  if (!json.is_object()) return std::nullopt;
  return Sessions::time(JsonField::text(json, "timestamp"));
}

void collect(const std::string& folder, const std::string& sid, const std::string& chat,
             Clock::Time now, std::vector<Agent>& out) {
  auto entries = Files::list(folder);
  if (!entries) return;
  for (const Files::Entry& e : *entries) {
    if (Files::extension(e.name) != "jsonl") continue;
    auto attrs = Files::attributes(e.path);
    if (attrs && !attrs->regular) continue;
    Agent agent;
    agent.id = Text::replaceAll(Files::baseName(e.name), "agent-", "");
    agent.sid = sid;
    agent.chat = chat;
    agent.updated = attrs ? attrs->modified : Clock::kDistantPast;
    agent.bytes = attrs ? attrs->size : 0;
    agent.started = started(e.path, agent.updated);
    Meta meta = metadata(e.path);
    agent.kind = meta.kind;
    agent.task = meta.task;
    agent.model = meta.model;
    agent.depth = meta.depth;
    agent.running = running(meta, agent.updated, now);
    if (agent.running) {
      Beat b = beat(e.path);
      agent.doing = std::move(b.doing);
      agent.say = std::move(b.say);
      agent.context = b.context;
      agent.steps = b.steps;
    }
    out.push_back(std::move(agent));
  }
}

// Workflow runs keep their sub-agents one level deeper: subagents/workflows/<run>/.
std::vector<std::string> runFolders(const std::string& folder) {
  std::vector<std::string> runs;
  auto entries = Files::list(Files::join(folder, "workflows"));
  if (!entries) return runs;
  for (const Files::Entry& e : *entries)
    if (Files::isDirectory(e.path)) runs.push_back(e.path);
  return runs;
}
}  // namespace

std::string folderOf(const std::string& transcript) {
  std::string stem = Text::endsWith(transcript, ".jsonl")
                         ? transcript.substr(0, transcript.size() - 6)
                         : transcript;
  return stem + "/subagents";
}

Meta metadata(const std::string& transcript) {
  const std::string path = metaPath(transcript);
  auto attrs = Files::attributes(path);
  if (!attrs || !attrs->regular) return defaults();
  if (auto known = metaMemo.find(path, attrs->size, attrs->modified)) return *known;
  auto text = Files::read(path, int64_t{1024} * 1024);
  if (!text) return defaults();
  Meta meta = parseMeta(*text);
  metaMemo.keep(path, attrs->size, attrs->modified, meta);
  return meta;
}

Beat beat(const std::string& transcript) {
  Beat b;
  auto tail = Files::readTail(transcript, kBeatBytes);
  if (tail) {
    std::string text = Text::validUtf8(tail->bytes);
    auto lines = Text::split(text, '\n');
    Sessions::JsonLine parser;
    for (size_t i = tail->cut ? 1 : 0; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      if (Text::contains(line, "\"toolUseResult\"")) continue;
      if (!Text::contains(line, "\"assistant\"")) continue;
      auto record = parser.object(line);
      if (!record) continue;
      std::string_view type;
      if ((*record)["type"].get(type) != simdjson::SUCCESS || type != "assistant") continue;
      simdjson::dom::object message;
      if ((*record)["message"].get(message) != simdjson::SUCCESS) continue;
      simdjson::dom::object usage;
      if (message["usage"].get(usage) == simdjson::SUCCESS) {
        int64_t sum = 0;
        for (const char* key :
             {"input_tokens", "cache_read_input_tokens", "cache_creation_input_tokens"}) {
          int64_t n = 0;
          if (usage[key].get(n) == simdjson::SUCCESS) sum += n;
        }
        if (sum > 0) b.context = sum;
      }
      simdjson::dom::array content;
      if (message["content"].get(content) != simdjson::SUCCESS) continue;
      std::vector<std::string> texts;
      for (simdjson::dom::element item : content) {
        std::string_view itemType;
        if (item["type"].get(itemType) != simdjson::SUCCESS) continue;
        if (itemType == "tool_use") {
          std::string_view name;
          if (item["name"].get(name) != simdjson::SUCCESS) name = "";
          b.doing = Sessions::hebrewTool(std::string(name));
          ++b.steps;
        } else if (itemType == "text") {
          std::string_view said;
          if (item["text"].get(said) == simdjson::SUCCESS) texts.emplace_back(said);
        }
      }
      std::string said = Text::trim(Text::join(texts, " "));
      if (!said.empty()) {
        b.say = Text::prefix(Text::replaceAll(said, "\n", " "), kSayCharacters);
        b.doing.clear();
      }
    }
  }
  if (b.doing.empty()) b.doing = Lang::pick("thinking", "חושב");
  return b;
}

bool running(const Meta& meta, Clock::Time updated, Clock::Time now) {
  return !meta.finished && now - updated < kRunningSeconds;
}

Clock::Time started(const std::string& transcript, Clock::Time modified) {
  return started(transcript, birthTime(transcript), modified);
}

Clock::Time started(const std::string& transcript, std::optional<Clock::Time> birth,
                    Clock::Time modified) {
  if (birth) return *birth;
  if (auto first = firstStamp(transcript)) return *first;
  return modified;
}

std::vector<Agent> inFolder(const std::string& folder, const std::string& sid,
                            const std::string& chat) {
  std::vector<Agent> out;
  const Clock::Time now = Clock::now();
  collect(folder, sid, chat, now, out);
  for (const std::string& run : runFolders(folder)) collect(run, sid, chat, now, out);
  return out;
}

int64_t runningCount(const std::string& transcript) {
  const std::string folder = folderOf(transcript);
  std::vector<std::string> folders{folder};
  for (std::string& run : runFolders(folder)) folders.push_back(std::move(run));
  const Clock::Time now = Clock::now();
  int64_t n = 0;
  for (const std::string& f : folders) {
    auto entries = Files::list(f);
    if (!entries) continue;
    for (const Files::Entry& e : *entries) {
      if (Files::extension(e.name) != "jsonl") continue;
      auto attrs = Files::attributes(e.path);
      if (!attrs || !attrs->regular) continue;
      // The meta file is opened only for those the file time would count.
      if (now - attrs->modified >= kRunningSeconds) continue;
      if (running(metadata(e.path), attrs->modified, now)) ++n;
    }
  }
  return n;
}

std::vector<Agent> all(const std::vector<Parent>& parents) {
  std::vector<Agent> out;
  for (const Parent& p : parents) {
    if (p.sessionID.empty()) continue;
    auto transcript = Sessions::transcriptURL(p.sessionID);
    if (!transcript) continue;
    const std::string folder = folderOf(*transcript);
    if (!Files::isDirectory(folder)) continue;
    std::string chat;
    if (auto s = Sessions::state(p.sessionID)) chat = s->title;
    if (chat.empty()) chat = Lang::pick("terminal ", "מסוף ") + p.slot;
    auto found = inFolder(folder, p.sessionID, chat);
    for (Agent& a : found) out.push_back(std::move(a));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Agent& a, const Agent& b) { return a.updated > b.updated; });
  if (out.size() > kMostRows) out.resize(kMostRows);
  return out;
}

std::vector<Agent> live(const std::string& sessionID) {
  if (sessionID.empty()) return {};
  auto transcript = Sessions::transcriptURL(sessionID);
  if (!transcript) return {};
  std::vector<Agent> out;
  for (Agent& a : inFolder(folderOf(*transcript), sessionID, ""))
    if (a.running) out.push_back(std::move(a));
  std::stable_sort(out.begin(), out.end(),
                   [](const Agent& a, const Agent& b) { return a.started < b.started; });
  return out;
}

}  // namespace Agents
