#include "search/titles.h"

#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/caches.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/process.h"
#include "base/text.h"
#include "search/index.h"
#include "sessions/state.h"
#include "terminals/names.h"

namespace Titles {
namespace {

// A transcript is searched again only once it has grown by more than this since its title
// was found; one that shrank keeps its title.
constexpr int64_t kRegrowth = 999'999;
constexpr size_t kTitleChars = 200;

// A title value as JSON writes it: escapes included, so an escaped quote does not end it.
// Unbounded, since grep counts bytes or characters by its locale and a bound makes it
// several times slower; the length in characters is checked once the value is decoded.
const char* const kPattern = "\"(customTitle|aiTitle)\":\"([^\"\\\\]|\\\\.)*\"";

struct Found {
  int64_t size = 0;
  std::string title;
};

std::mutex lock;
std::optional<std::map<std::string, Found>> memo;

const Caches::Enrolled enrolled(
    "titles",
    [] {
      std::lock_guard<std::mutex> guard(lock);
      memo.reset();
    },
    [] {
      std::lock_guard<std::mutex> guard(lock);
      return memo ? memo->size() : size_t{0};
    });

std::string file() {
  return Paths::agent("velmo-titles.json");
}

// The quoted value of one grep match, decoded; no value when it is not a whole JSON string.
std::optional<std::string> decode(const std::string& line, bool& custom) {
  auto colon = line.find(':');
  if (colon == std::string::npos) return std::nullopt;
  custom = Text::startsWith(line, "\"customTitle\"");
  std::string quoted = Text::trim(line.substr(colon + 1));
  Text::replaceLoneSurrogateEscapes(quoted);
  auto value = nlohmann::json::parse(quoted, nullptr, false);
  if (!value.is_string()) return std::nullopt;
  std::string text = Text::validUtf8(value.get<std::string>());
  if (text.empty() || Text::length(text) > kTitleChars) return std::nullopt;
  return text;
}

}  // namespace

std::string fromMatches(const std::string& grepOutput) {
  std::string custom, generated;
  for (const auto& line : Text::split(grepOutput, '\n')) {
    bool isCustom = false;
    auto value = decode(line, isCustom);
    if (!value) continue;
    (isCustom ? custom : generated) = *value;
  }
  return custom.empty() ? generated : custom;
}

std::string of(const std::string& sid) {
  if (sid.empty()) return "";
  if (std::string named = Names::name(sid); !named.empty()) return named;
  auto path = Sessions::transcriptURL(sid);
  if (!path) return "";
  int64_t size = 0;
  if (auto a = Files::attributes(*path)) size = a->size;
  load();
  {
    std::lock_guard<std::mutex> guard(lock);
    if (memo)
      if (auto it = memo->find(sid); it != memo->end() && size - it->second.size <= kRegrowth)
        return it->second.title;
  }
  auto run = Terminals::shellOutcome("/usr/bin/grep", {"-a", "-o", "-E", kPattern, "--", *path});
  // 1 is "no title in it"; anything else is a failed search, not remembered.
  if (!run.finished || run.status > 1) return "";
  std::string title = fromMatches(run.output);
  std::lock_guard<std::mutex> guard(lock);
  if (memo) (*memo)[sid] = {size, title};
  return title;
}

std::string known(const std::string& sid) {
  if (sid.empty()) return "";
  if (std::string named = Names::name(sid); !named.empty()) return named;
  load();
  std::lock_guard<std::mutex> guard(lock);
  if (!memo) return "";
  auto it = memo->find(sid);
  return it == memo->end() ? "" : it->second.title;
}

void warm(int count) {
  auto shards = Index::shardsByRecency();
  for (int i = 0; i < count && i < static_cast<int>(shards.size()); ++i)
    of(Files::baseName(shards[i]));
  save();
}

void load() {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (memo) return;
  }
  std::map<std::string, Found> loaded;
  if (auto text = Files::read(file(), Files::kStoreBytes)) {
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (json.is_object())
      for (const auto& [sid, entry] : json.items())
        if (entry.is_array() && entry.size() == 2 && entry[0].is_number_integer() &&
            entry[1].is_string())
          loaded[sid] = {entry[0].get<int64_t>(), entry[1].get<std::string>()};
  }
  std::lock_guard<std::mutex> guard(lock);
  if (!memo) memo = std::move(loaded);
}

void save() {
  nlohmann::json out = nlohmann::json::object();
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!memo) return;
    for (const auto& [sid, found] : *memo)
      out[sid] = nlohmann::json::array({found.size, found.title});
  }
  Files::makeDirectories(Paths::agentDir(), 0700);
  Files::writeAtomic(
      file(), out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", 0600);
}

}  // namespace Titles
