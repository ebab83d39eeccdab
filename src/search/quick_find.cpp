#include "search/quick_find.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <map>
#include <string_view>

#include "base/files.h"
#include "base/lang.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "library/works.h"
#include "search/index.h"
#include "search/titles.h"

namespace QuickFind {
namespace {

constexpr size_t kShardsLooked = 400;
constexpr size_t kChats = 6;
constexpr size_t kFiles = 8;

constexpr std::array<std::string_view, 35> kFiller = {
    "את",   "של",    "על",    "לי",    "עם",    "אני",    "זה",   "זאת",   "מה",
    "איפה", "תמצא",  "תמצאי", "מצא",   "למצוא", "חפש",    "תחפש", "השיחה", "שיחה",
    "שבה",  "הקובץ", "קובץ",  "איזה",  "ההוא",  "שעשינו", "the",  "a",     "an",
    "of",   "find",  "me",    "where", "that",  "with",   "for",  "and"};
constexpr std::array<std::string_view, 7> kPrefixes = {"ה", "ל", "ב", "ו", "מ", "ש", "כ"};
template <size_t N>
bool among(const std::array<std::string_view, N>& set, std::string_view word) {
  return std::find(set.begin(), set.end(), word) != set.end();
}

bool separator(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == ',' ||
         c == '?';
}

}  // namespace

std::vector<Group> words(const std::string& query) {
  std::vector<Group> groups;
  std::string lowered = Text::lower(query), token;
  auto take = [&] {
    if (Text::length(Text::validUtf8(token)) >= 2 && !among(kFiller, token)) {
      Group group = {token};
      if (Text::length(token) >= 4)
        for (std::string_view prefix : kPrefixes)
          if (Text::startsWith(token, prefix)) group.push_back(token.substr(prefix.size()));
      groups.push_back(std::move(group));
    }
    token.clear();
  };
  for (char c : lowered) {
    if (separator(c))
      take();
    else
      token += c;
  }
  take();
  return groups;
}

bool matchesAll(const std::vector<Group>& groups, const std::string& haystack) {
  return std::all_of(groups.begin(), groups.end(), [&](const Group& group) {
    return std::any_of(group.begin(), group.end(), [&](const std::string& spelling) {
      return Text::contains(haystack, spelling);
    });
  });
}

std::string knownTitle(const std::string& sid) {
  return Titles::known(sid);
}

nlohmann::json chatsJson(const std::string& query, const TitleOf& titleOf) {
  auto chats = nlohmann::json::array();
  auto groups = words(query);
  if (groups.empty()) return chats;
  auto shards = Index::shardsByRecency();
  if (shards.size() > kShardsLooked) shards.resize(kShardsLooked);
  for (const std::string& shard : shards) {
    const std::string sid = Files::baseName(shard);
    const std::string title = titleOf(sid), project = Index::project(sid);
    if (!matchesAll(groups, Text::lower(title + " " + project))) continue;
    auto attributes = Files::attributes(shard);
    chats.push_back(
        {{"sid", sid},
         {"title", title.empty() ? Lang::pick("untitled conversation", "שיחה ללא שם") : title},
         {"project", project},
         {"when", attributes ? TimeText::shortDay(attributes->modified) : ""},
         {"total", 0},
         {"hits", nlohmann::json::array()}});
    if (chats.size() == kChats) break;
  }
  return chats;
}

std::vector<Work> files(const std::string& query, const std::vector<Work>& works,
                        const std::string& root) {
  auto groups = words(query);
  if (groups.empty()) return {};
  auto count = [&](const std::string& haystack) {
    return std::count_if(groups.begin(), groups.end(),
                         [&](const Group& group) { return matchesAll({group}, haystack); });
  };
  const std::string under = root + "/";
  struct Scored {
    long score;
    const Work* work;
  };
  std::vector<Scored> kept;
  for (const Work& work : works) {
    std::string path =
        Text::startsWith(work.path, under) ? work.path.substr(under.size()) : work.path;
    long inPath = count(Text::lower(path));
    if (inPath < static_cast<long>(groups.size())) continue;
    kept.push_back({inPath + count(Text::lower(work.name)), &work});
  }
  std::stable_sort(kept.begin(), kept.end(), [](const Scored& a, const Scored& b) {
    if (a.score != b.score) return a.score > b.score;
    return a.work->modified > b.work->modified;
  });
  std::vector<Work> result;
  for (size_t i = 0; i < kept.size() && i < kFiles; ++i) result.push_back(*kept[i].work);
  return result;
}

nlohmann::json filesJson(const std::string& query) {
  auto rows = nlohmann::json::array();
  if (words(query).empty()) return rows;
  const std::string root = Works::root();
  for (const Work& work : files(query, Works::everything(), root)) {
    std::string folder =
        Text::startsWith(work.path, root + "/") ? work.path.substr(root.size() + 1) : work.path;
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "" : folder.substr(0, slash);
    rows.push_back({{"path", work.path},
                    {"name", work.name},
                    {"kind", work.kind},
                    {"project", work.project},
                    {"folder", folder}});
  }
  return rows;
}

}  // namespace QuickFind
