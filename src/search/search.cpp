#include "search/search.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>
#include <set>
#include <thread>

#include "base/files.h"
#include "base/lang.h"
#include "base/process.h"
#include "base/text.h"
#include "search/index.h"
#include "search/quick_find.h"
#include "sessions/state.h"

namespace Search {
namespace {

constexpr size_t kWindow = 70;
constexpr int64_t kReadBack = 256 << 10;
// A shard line longer than this is passed over when reading backwards.
constexpr size_t kLongestLine = 32u << 20;

// The lines per shard of one batch whose text holds the query; a batch grep could not
// run, or that was stopped, gives none.
std::map<std::string, int64_t> countBatch(const std::string& query,
                                          const std::vector<std::string>& paths,
                                          const Terminals::Stop* stop) {
  std::map<std::string, int64_t> counts;
  Terminals::Job job;
  job.path = kGrep;
  job.args = grepArguments(query, paths);
  // Bytes as bytes: "any but a tab" must pass over text that is not UTF-8, and case is
  // folded for ASCII only, as the quoting below finds it.
  job.env = {{"LC_ALL", "C"}};
  job.stop = stop;
  auto outcome = Terminals::run(job);
  // Status 2 means trouble with some file (a refresh may have just removed a shard);
  // the counts grep printed for the others still hold.
  if (!outcome.finished) return counts;
  for (auto& [path, count] : parseCounts(outcome.output))
    if (count > 0) counts[path] = count;
  return counts;
}

// The text part of a shard line, when it has the shape "epoch TAB role TAB text".
std::optional<std::string_view> textOf(std::string_view line) {
  size_t first = line.find('\t');
  if (first == std::string_view::npos) return std::nullopt;
  size_t second = line.find('\t', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  std::string_view text = line.substr(second + 1);
  if (text.find('\t') != std::string_view::npos) return std::nullopt;
  return text;
}

size_t findIgnoringCase(std::string_view text, std::string_view needle) {
  if (needle.empty() || needle.size() > text.size()) return std::string_view::npos;
  auto lowerByte = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && lowerByte(text[i + k]) == needle[k]) ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

// The query as a shard would hold it: line breaks and tabs are spaces there, and runs of
// spaces one.
std::string asShardText(const std::string& query) {
  std::string out;
  for (char c : query) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out += c;
  }
  return out;
}

bool stopped(const Terminals::Stop* stop) {
  return stop && stop->stopped();
}

std::string untitled() {
  return Lang::pick("untitled conversation", "שיחה ללא שם");
}

std::string groupTitle(const std::string& sid, const std::string& project) {
  if (auto state = Sessions::state(sid)) {
    if (!state->title.empty()) return state->title;
    if (!state->project.empty()) return state->project;
  }
  return project.empty() ? untitled() : project;
}

}  // namespace

std::string textPattern(std::string_view query) {
  // A shard line is "epoch TAB role TAB text": the query counts only inside the text, so
  // "17" is not found in every message sent at a time holding those digits.
  std::string pattern = "^[^\t]*\t[^\t]*\t[^\t]*";
  for (char c : query) {
    switch (c) {
      case '\\': pattern += "\\\\"; break;
      case '^': pattern += "\\^"; break;
      case '.': case '[': case ']': case '$': case '(': case ')': case '|':
      case '*': case '+': case '?': case '{': case '}':
        pattern += '[';
        pattern += c;
        pattern += ']';
        break;
      default: pattern += c;
    }
  }
  return pattern + "[^\t]*$";
}

std::vector<std::string> grepArguments(const std::string& query,
                                       const std::vector<std::string>& paths) {
  // -H names the file even in a batch of one; -c counts, so nothing but numbers comes
  // back however common the word. The pattern follows -e and begins with "^", so it is
  // never read as an option.
  std::vector<std::string> args = {"-a", "-i", "-E", "-H", "-c", "-e", textPattern(query), "--"};
  args.insert(args.end(), paths.begin(), paths.end());
  return args;
}

std::vector<std::pair<std::string, int64_t>> parseCounts(std::string_view output) {
  std::vector<std::pair<std::string, int64_t>> counts;
  for (const auto& line : Text::split(output, '\n')) {
    size_t colon = line.rfind(':');
    if (colon == std::string::npos || colon == 0) continue;
    std::string_view number = std::string_view(line).substr(colon + 1);
    long long count = 0;
    if (!Text::allDigits(number) || !Text::parseInt(number, count)) continue;
    counts.emplace_back(line.substr(0, colon), count);
  }
  return counts;
}

std::vector<std::string> newestMatches(const std::string& path, std::string_view needle,
                                       size_t want) {
  std::vector<std::string> found;
  if (want == 0) return found;
  auto held = Files::hold(path, INT64_MAX);
  if (!held) return found;
  int64_t end = held->size();
  std::string carried;  // the end of a line whose beginning lies further back
  // The bytes behind the last line feed read so far are not a whole line: at the file's
  // end a line still being written, elsewhere the rest of a line too long to hold.
  bool dropTail = true;
  std::string data;
  while (end > 0 && found.size() < want) {
    const int64_t start = std::max<int64_t>(0, end - kReadBack);
    data.resize(static_cast<size_t>(end - start));
    ssize_t got = ::pread(held->fd(), data.data(), data.size(), start);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(data.size())) break;
    end = start;
    if (dropTail) {
      size_t lf = data.rfind('\n');
      if (lf == std::string::npos) continue;
      data.resize(lf + 1);
      dropTail = false;
    } else {
      data += carried;
    }
    size_t from = 0;
    if (start > 0) {
      size_t lf = data.find('\n');
      if (lf == std::string::npos) {
        carried = std::move(data);
        data.clear();
        if (carried.size() > kLongestLine) {
          carried.clear();
          dropTail = true;
        }
        continue;
      }
      from = lf + 1;
    }
    std::string_view body(data.data() + from, data.size() - from);
    while (!body.empty() && found.size() < want) {
      if (body.back() == '\n') body.remove_suffix(1);
      size_t lf = body.rfind('\n');
      std::string_view line = lf == std::string_view::npos ? body : body.substr(lf + 1);
      auto text = textOf(line);
      if (text && findIgnoringCase(*text, needle) != std::string_view::npos)
        found.push_back(Text::validUtf8(line));
      body = lf == std::string_view::npos ? std::string_view() : body.substr(0, lf + 1);
    }
    carried = data.substr(0, from == 0 ? 0 : from - 1);
  }
  return found;
}

std::optional<Hit> hit(const std::string& sid, std::string_view line, std::string_view needle) {
  auto pieces = Text::split(line, '\t', false);
  if (pieces.size() != 3) return std::nullopt;
  const std::string& text = pieces[2];
  size_t at = findIgnoringCase(text, needle);
  if (at == std::string::npos) return std::nullopt;
  Hit h;
  h.sid = sid;
  h.role = pieces[1] == "y" ? "you" : "claude";
  long long epoch = 0;
  h.sort = Text::parseInt(pieces[0], epoch) ? static_cast<double>(epoch) : 0;
  std::string_view head(text.data(), at),
      tail(text.data() + at + needle.size(), text.size() - at - needle.size());
  h.hit = text.substr(at, needle.size());
  h.before = Text::suffix(head, kWindow);
  if (h.before.size() < head.size()) h.before = "…" + h.before;
  h.after = Text::prefix(tail, kWindow);
  if (h.after.size() < tail.size()) h.after += "…";
  return h;
}

std::string shortWhen(double epoch) {
  if (epoch <= 0) return "";
  std::time_t t = static_cast<std::time_t>(epoch);
  std::tm local{};
  if (!::localtime_r(&t, &local)) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%d.%d %02d:%02d", local.tm_mday, local.tm_mon + 1,
                local.tm_hour, local.tm_min);
  return text;
}

std::vector<Conversation> run(const std::string& query, const Terminals::Stop* stop) {
  const std::string trimmed = asShardText(Text::trim(query));
  if (Text::length(Text::validUtf8(trimmed)) < 2) return {};
  Index::refresh(false);
  if (stopped(stop)) return {};
  const std::string needle = Text::lower(trimmed);
  const std::vector<std::string> shards = Index::shardsByRecency();

  std::vector<Hit> hits;
  std::set<std::string> seen;
  std::map<std::string, int64_t> totals;
  // Batches double in size from pair to pair: a common word stops within the first
  // pair as before, while a rare or absent one crosses thousands of shards in a few
  // dozen grep runs instead of one run per 60 shards.
  size_t batch = kBatch;
  for (size_t at = 0; at < shards.size() && hits.size() < kEnough;
       at += 2 * batch, batch = std::min(batch * 2, kLargestBatch)) {
    // Two batches at a time, one per core; the second's results come after the first's,
    // so the order stays newest shards first.
    auto slice = [&](size_t from) {
      from = std::min(from, shards.size());
      size_t to = std::min(from + batch, shards.size());
      return std::vector<std::string>(shards.begin() + static_cast<long>(from),
                                      shards.begin() + static_cast<long>(to));
    };
    std::vector<std::string> one = slice(at), two = slice(at + batch);
    std::map<std::string, int64_t> countsTwo;
    std::thread second;
    if (!two.empty()) second = std::thread([&] { countsTwo = countBatch(trimmed, two, stop); });
    std::map<std::string, int64_t> countsOne = countBatch(trimmed, one, stop);
    if (second.joinable()) second.join();
    if (stopped(stop)) return {};

    for (const auto* batch : {&one, &two}) {
      const auto& counts = batch == &one ? countsOne : countsTwo;
      for (const std::string& path : *batch) {
        auto count = counts.find(path);
        if (count == counts.end()) continue;
        const std::string sid = Files::baseName(path);
        const std::string project = Index::project(sid);
        size_t collected = 0;
        // grep counted the lines whose text holds the query: the reading from the end
        // stops once it has them all, or as many as a shard is quoted by.
        const size_t want = static_cast<size_t>(std::min<int64_t>(count->second, kPerShard));
        for (const std::string& line : newestMatches(path, needle, want)) {
          auto h = hit(sid, line, needle);
          if (!h) continue;
          auto pieces = Text::split(line, '\t', false);
          if (!seen.insert(sid + "|" + Text::prefix(pieces[2], 40)).second) continue;
          h->project = project;
          hits.push_back(std::move(*h));
          ++collected;
        }
        if (collected > 0) totals[sid] = count->second;
      }
    }
  }

  std::stable_sort(hits.begin(), hits.end(),
                   [](const Hit& a, const Hit& b) { return a.sort > b.sort; });
  std::vector<Conversation> conversations;
  std::map<std::string, size_t> bySid;
  for (Hit& h : hits) {
    auto [it, fresh] = bySid.emplace(h.sid, conversations.size());
    if (fresh) {
      if (conversations.size() == kConversations) {
        bySid.erase(it);
        continue;
      }
      Conversation c;
      c.sid = h.sid;
      c.project = h.project;
      c.sort = h.sort;
      c.when = shortWhen(h.sort);
      conversations.push_back(std::move(c));
    }
    Conversation& c = conversations[it->second];
    ++c.total;
    if (c.hits.size() < 3) c.hits.push_back(std::move(h));
  }
  for (Conversation& c : conversations) {
    // grep counted every matching line; the collected ones are at most twelve.
    c.total = std::max(c.total, totals[c.sid]);
    c.title = groupTitle(c.sid, c.project);
  }
  return conversations;
}

nlohmann::json toJson(const Hit& h) {
  return {{"sid", h.sid},   {"project", h.project}, {"role", h.role}, {"when", shortWhen(h.sort)},
          {"sort", h.sort}, {"before", h.before},   {"hit", h.hit},   {"after", h.after}};
}

nlohmann::json toJson(const Conversation& c) {
  auto hits = nlohmann::json::array();
  for (const Hit& h : c.hits) hits.push_back(toJson(h));
  return {{"sid", c.sid},   {"title", c.title}, {"project", c.project}, {"when", c.when},
          {"sort", c.sort}, {"total", c.total}, {"hits", hits}};
}

nlohmann::json payload(const std::string& query, const Terminals::Stop* stop) {
  const std::string trimmed = Text::trim(query);
  auto hits = nlohmann::json::array();
  for (const Conversation& c : run(trimmed, stop)) hits.push_back(toJson(c));
  if (stopped(stop)) return {{"query", trimmed}, {"hits", hits}, {"titles", {}}, {"files", {}}};
  return {{"query", trimmed},
          {"hits", hits},
          {"titles", QuickFind::chatsJson(trimmed)},
          {"files", QuickFind::filesJson(trimmed)}};
}

}  // namespace Search
