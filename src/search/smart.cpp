#include "search/smart.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>

#include "base/clock.h"
#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/process.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "search/index.h"
#include "terminals/automation.h"

namespace SmartSearch {
namespace {

constexpr size_t kNewest = 90;
constexpr size_t kLookedFurther = 600;
constexpr size_t kMostChats = 130;
constexpr size_t kBestFiles = 80;
constexpr size_t kMostFiles = 140;
constexpr size_t kRows = 6;
constexpr size_t kPromptChars = 90;
constexpr size_t kErrorChars = 300;
// A shard larger than this is read at its head and its tail only: the first and the last
// prompt and the newest date are all the catalogue takes from it.
constexpr int64_t kWholeShard = int64_t{4} * 1024 * 1024;
constexpr int64_t kShardEnd = int64_t{1024} * 1024;

const char* const kLead =
    "You help find a past conversation or a file the user made with an assistant.\n"
    "Below are conversations (ids c…: date · title · folder :: things the user typed)\n"
    "and files (ids f…: path · date). Newest first.\n"
    "The user is looking for: ";
const char* const kRules =
    "\n\nIf the user asks for a draft, document, page, image or file, prefer files.\n"
    "Answer with at most 6 lines, best match first, in exactly this form:\n"
    "<id> | <a few words, in the user's language, saying why it matches>\n"
    "If nothing fits, answer with the single word NONE.\n\n";

std::string seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", s);
  return text;
}

std::string relative(const std::string& path, const std::string& root) {
  const std::string under = root + "/";
  return Text::startsWith(path, under) ? path.substr(under.size()) : path;
}

bool image(const std::string& path) {
  static const std::set<std::string> kImages = {"png", "jpg", "jpeg", "gif", "webp", "svg"};
  return kImages.count(Text::lower(Files::extension(path))) > 0;
}

// The shard's complete lines, or those of its head and tail when it is large.
std::optional<std::vector<std::string>> shardLines(const std::string& path) {
  auto attributes = Files::attributes(path);
  if (!attributes || !attributes->regular) return std::nullopt;
  if (attributes->size <= kWholeShard) {
    auto text = Files::read(path, kWholeShard);
    if (!text) return std::nullopt;
    return Text::split(*text, '\n');
  }
  auto head = Files::readHead(path, kShardEnd);
  auto tail = Files::readTail(path, kShardEnd);
  if (!head || !tail) return std::nullopt;
  auto lines = Text::split(head->substr(0, head->rfind('\n') + 1), '\n');
  auto last = Text::split(tail->bytes, '\n');
  if (tail->cut && !last.empty()) last.erase(last.begin());
  lines.insert(lines.end(), last.begin(), last.end());
  return lines;
}

// The first `count` characters of the reason or error text, with line ends as spaces.
std::string oneLine(const std::string& text, size_t count) {
  return Text::replaceAll(Text::prefix(Text::validUtf8(text), count), "\n", " ");
}

std::string trimIdPiece(std::string_view piece) {
  size_t begin = 0, end = piece.size();
  auto strip = [](char c) { return c == ' ' || c == '\t' || c == '[' || c == ']'; };
  while (begin < end && strip(piece[begin])) ++begin;
  while (end > begin && strip(piece[end - 1])) --end;
  return std::string(piece.substr(begin, end - begin));
}

double limitFromEnvironment(double fallback) {
  const char* text = std::getenv("VELMO_SMART_LIMIT");
  if (!text || !*text) return fallback;
  char* end = nullptr;
  double value = std::strtod(text, &end);
  return end && *end == '\0' && value > 0 ? value : fallback;
}

std::string temporaryFolder() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir && Files::isDirectory(dir) ? std::string(dir) : std::string("/tmp");
}

}  // namespace

Options defaults() {
  Options options;
  options.limit = limitFromEnvironment(60);
  return options;
}

std::string logPath() {
  return Paths::agent("velmo-smart.log");
}

void log(const std::string& text) {
  Log::line(logPath(), text);
}

std::vector<std::string> pick(const std::vector<std::string>& shards,
                              const std::vector<QuickFind::Group>& words,
                              const QuickFind::TitleOf& known) {
  std::vector<std::string> picked;
  for (size_t i = 0; i < shards.size() && i < kNewest; ++i) picked.push_back(shards[i]);
  if (words.empty()) return picked;
  for (size_t i = kNewest; i < shards.size() && i < kNewest + kLookedFurther; ++i) {
    if (picked.size() >= kMostChats) break;
    std::string title = Text::lower(known(Files::baseName(shards[i])));
    bool any = std::any_of(words.begin(), words.end(), [&](const QuickFind::Group& group) {
      return QuickFind::matchesAll({group}, title);
    });
    if (any) picked.push_back(shards[i]);
  }
  return picked;
}

std::optional<Entry> entry(const std::string& shardPath, const QuickFind::TitleOf& titleOf) {
  auto lines = shardLines(shardPath);
  if (!lines) return std::nullopt;
  std::vector<std::string> prompts;
  long long latest = 0;
  for (const std::string& line : *lines) {
    if (line.empty()) continue;
    auto pieces = Text::split(line, '\t', false);
    if (pieces.size() != 3) continue;
    long long epoch = 0;
    if (Text::parseInt(pieces[0], epoch) && epoch > 0) latest = epoch;
    if (pieces[1] == "y")
      prompts.push_back(
          Text::replaceAll(Text::prefix(Text::validUtf8(pieces[2]), kPromptChars), "\n", " "));
  }
  if (prompts.empty()) return std::nullopt;
  if (prompts.size() >= 3) prompts = {prompts.front(), prompts.back()};
  Entry e;
  e.sid = Files::baseName(shardPath);
  e.title = titleOf(e.sid);
  if (e.title.empty()) e.title = "untitled";
  e.project = Index::project(e.sid);
  e.when = latest > 0 ? TimeText::shortDay(static_cast<Clock::Time>(latest)) : "";
  e.prompts = std::move(prompts);
  return e;
}

std::vector<Entry> catalog(const std::vector<std::string>& shards,
                           const QuickFind::TitleOf& titleOf) {
  std::vector<Entry> entries;
  for (const std::string& shard : shards)
    if (auto e = entry(shard, titleOf)) entries.push_back(std::move(*e));
  return entries;
}

std::vector<Work> fileCatalog(const std::string& query, const std::vector<Work>& works,
                              const std::string& root) {
  auto words = QuickFind::words(query);
  struct Scored {
    long count;
    const Work* work;
  };
  std::vector<Scored> kept;
  for (const Work& work : works) {
    std::string path = Text::lower(relative(work.path, root));
    long count = std::count_if(words.begin(), words.end(), [&](const QuickFind::Group& group) {
      return QuickFind::matchesAll({group}, path);
    });
    if (count > 0) kept.push_back({count, &work});
  }
  std::stable_sort(kept.begin(), kept.end(), [](const Scored& a, const Scored& b) {
    if (a.count != b.count) return a.count > b.count;
    return a.work->modified > b.work->modified;
  });
  std::vector<Work> chosen;
  std::set<std::string> paths;
  for (size_t i = 0; i < kept.size() && i < kBestFiles; ++i) {
    chosen.push_back(*kept[i].work);
    paths.insert(kept[i].work->path);
  }
  for (const Work& work : works) {
    if (chosen.size() >= kMostFiles) break;
    if (paths.count(work.path) || image(work.path)) continue;
    chosen.push_back(work);
    paths.insert(work.path);
  }
  return chosen;
}

std::string prompt(const std::string& query, const std::vector<Entry>& entries,
                   const std::vector<Work>& files, const std::string& root) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    lines.push_back("[c" + std::to_string(i + 1) + "] " + e.when + " · " + e.title + " · " +
                    e.project + " :: " + Text::join(e.prompts, " / "));
  }
  lines.push_back("");
  lines.push_back("FILES (path below the documents folder, date):");
  for (size_t i = 0; i < files.size(); ++i)
    lines.push_back("[f" + std::to_string(i + 1) + "] " + relative(files[i].path, root) + " · " +
                    TimeText::shortDay(files[i].modified));
  return kLead + query + kRules + Text::join(lines, "\n");
}

nlohmann::json rows(const std::string& answer, const std::vector<Entry>& entries,
                    const std::vector<Work>& files, const std::string& root,
                    const FileRow& fileRow) {
  auto found = nlohmann::json::array();
  std::set<std::string> used;
  for (const std::string& line : Text::split(answer, '\n')) {
    if (Text::trim(line).empty()) continue;
    size_t bar = line.find('|');
    std::string id = trimIdPiece(std::string_view(line).substr(0, bar));
    std::string why =
        bar == std::string::npos ? "" : trimIdPiece(std::string_view(line).substr(bar + 1));
    id = Text::trim(id);
    why = Text::trim(why);
    if (id.size() < 2 || used.count(id)) continue;
    long long n = 0;
    // Only the ids as the catalogue wrote them ("c3", not "c03").
    if (!Text::parseInt(id.substr(1), n) || n < 1 || id.substr(1) != std::to_string(n)) continue;
    if (id[0] == 'c' && static_cast<size_t>(n) <= entries.size()) {
      const Entry& e = entries[n - 1];
      found.push_back({{"sid", e.sid},
                       {"title", e.title},
                       {"project", e.project},
                       {"when", e.when},
                       {"why", why},
                       {"total", 0},
                       {"hits", nlohmann::json::array()}});
    } else if (id[0] == 'f' && static_cast<size_t>(n) <= files.size()) {
      nlohmann::json row =
          fileRow ? fileRow(files[n - 1], root) : nlohmann::json{{"path", files[n - 1].path}};
      row["file"] = true;
      row["why"] = why;
      found.push_back(std::move(row));
    } else {
      continue;
    }
    used.insert(id);
  }
  if (found.size() > kRows) found.erase(found.begin() + kRows, found.end());
  return found;
}

std::vector<std::string> arguments() {
  return {"-p",
          "--model",
          "sonnet",
          "--no-session-persistence",
          "--tools",
          "",
          "--strict-mcp-config",
          "--setting-sources",
          ""};
}

Answer ask(const std::string& program, const std::string& text, double limit) {
  Terminals::Job job;
  job.path = program;
  job.args = arguments();
  job.input = text;
  job.timeout = limit;
  job.cwd = temporaryFolder();
  // The older variable alone no longer turns thinking off in the current agent.
  job.env = {{"MAX_THINKING_TOKENS", "0"}, {"CLAUDE_CODE_DISABLE_THINKING", "1"}};
  Terminals::Outcome outcome = Terminals::run(job);
  if (!outcome.launchError.empty()) return {std::nullopt, "launch: " + outcome.launchError};
  if (outcome.finished && outcome.status == 0) return {std::move(outcome.output), ""};
  std::string status = outcome.finished   ? std::to_string(outcome.status)
                       : outcome.timedOut ? "killed after " + seconds(limit) + "s"
                                          : "signalled";
  return {std::nullopt,
          "exit " + status + ": " + oneLine(outcome.errors + outcome.output, kErrorChars)};
}

Result runWith(const std::string& program, const std::string& query, const Options& options) {
  const double started = Clock::monotonic();
  if (options.refresh) Index::refresh(false);
  auto words = QuickFind::words(query);
  auto shards = options.shards ? *options.shards : Index::shardsByRecency();
  auto entries = catalog(pick(shards, words, options.titles.known), options.titles.of);
  if (options.titles.save) options.titles.save();
  const std::string root = options.works ? options.worksRoot : Works::root();
  auto files = fileCatalog(query, options.works ? *options.works : Works::everything(), root);
  if (entries.empty() && files.empty()) return {nlohmann::json::array(), ""};
  const std::string text = prompt(query, entries, files, root);
  const double catalogued = Clock::monotonic() - started;
  if (std::getenv("VELMO_DUMP"))
    Files::writeAtomic(Files::join(temporaryFolder(), "velmo-smart-prompt.txt"), text, 0600);

  const double asked = Clock::monotonic();
  Answer answer = ask(program, text, options.limit);
  if (!answer.text) return {std::nullopt, answer.error};
  char line[160];
  std::snprintf(line, sizeof line,
                "catalog %.1fs · %zu chars · %zu chats · %zu files · model %.1fs", catalogued,
                Text::length(text), entries.size(), files.size(), Clock::monotonic() - asked);
  log(line);
  std::string said = Text::trim(*answer.text);
  if (said.empty()) return {std::nullopt, "empty answer"};
  return {rows(said, entries, files, root, options.fileRow), ""};
}

Result run(const std::string& question, const Options& options) {
  const double started = Clock::monotonic();
  const std::string query = Text::trim(question);
  if (Text::length(Text::validUtf8(query)) < 3) {
    log("skip short: " + query);
    return {std::nullopt, "too short"};
  }
  auto program = Terminals::claudePath();
  if (!program) {
    log("no claude binary found");
    return {std::nullopt, "no claude binary found"};
  }
  Result result = runWith(*program, query, options);
  std::string outcome =
      result.rows ? std::to_string(result.rows->size()) + " results" : "FAILED: " + result.error;
  log(seconds(Clock::monotonic() - started) + "s " + outcome + " · " + query);
  return result;
}

}  // namespace SmartSearch
