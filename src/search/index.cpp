#include "search/index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "base/caches.h"
#include "base/clock.h"
#include "base/file_memo.h"
#include "base/file_lock.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "sessions/json_line.h"
#include "sessions/state.h"
#include "sessions/transcript.h"

namespace Index {
namespace {

constexpr double kThrottleSeconds = 20;
// Transcripts are read this much at a time, so a 600 MB transcript never sits in memory.
constexpr int64_t kChunkBytes = 4 << 20;
// A line longer than this is dropped unread: only pasted images and tool output grow so
// long, and holding it whole would undo the bounded reads.
constexpr size_t kLineCap = 32u << 20;
// Shard text is written out once this much has gathered.
constexpr size_t kFlushBytes = 4u << 20;
// During a long first build the manifest is saved this often, so progress survives a quit.
constexpr double kSaveEverySeconds = 2;
constexpr std::string_view kToolMarker = "\"toolUseResult\"";

// The index's process-wide state: one refresh at a time, the throttle, the countdown the
// page shows, and the project labels word search quotes.
class Keeper {
 public:
  static Keeper& shared() {
    static Keeper keeper;
    return keeper;
  }

  std::mutex lock;
  bool building = false;
  Clock::Time lastRefresh = Clock::kDistantPast;
  int pending = 0;
  std::unordered_map<std::string, std::string> projects;
  // The manifest as last read or written: parsing it costs more than the rest of a
  // refresh in which nothing changed.
  FileMemo<std::map<std::string, Mark>> manifest{"index manifest", 1};

 private:
  Keeper()
      : enrolled(
            "index",
            [this] {
              std::lock_guard<std::mutex> guard(lock);
              projects.clear();
              lastRefresh = Clock::kDistantPast;
            },
            [this] {
              std::lock_guard<std::mutex> guard(lock);
              return projects.size();
            }) {}
  Caches::Enrolled enrolled;
};

std::optional<int64_t> sizeOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

// Opens our own shard for writing; never through a link, never anything but a regular file.
int openShard(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool cutShard(const std::string& path, int64_t length) {
  if (length == 0) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
  int fd = openShard(path);
  if (fd < 0) return false;
  bool ok = ::ftruncate(fd, length) == 0;
  ::close(fd);
  return ok;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

struct Appended {
  bool ok = false;
  int64_t pos = 0;
  int64_t shardLength = 0;
  int64_t bytesRead = 0;
  int64_t lines = 0;
};

// Indexes the transcript's complete lines from `from` to its listed size onto the shard,
// which the caller has cut to `shardStart`. On a failed write the shard is cut back and
// nothing counts as indexed.
Appended append(const Log& log, int64_t from, const std::string& shard, int64_t shardStart) {
  Appended result;
  result.pos = from;
  result.shardLength = shardStart;
  auto held = Files::hold(log.path, INT64_MAX);
  if (!held) return result;
  const int64_t limit = std::min(log.size, held->size());

  int shardFd = -1;
  bool writeFailed = false;
  std::string out;
  auto flush = [&] {
    if (out.empty() || writeFailed) return;
    if (shardFd < 0) shardFd = openShard(shard);
    if (shardFd < 0 || ::lseek(shardFd, 0, SEEK_END) < 0 || !writeAll(shardFd, out))
      writeFailed = true;
    else
      result.shardLength += static_cast<int64_t>(out.size());
    out.clear();
  };

  std::string buffer;       // the unfinished line carried over, then the next chunk
  int64_t bufferAt = from;  // transcript offset of buffer[0]
  int64_t offset = from;    // transcript offset of the next read
  bool skipping = false;    // inside an over-long line that is being dropped
  while (offset < limit) {
    const size_t want = static_cast<size_t>(std::min(kChunkBytes, limit - offset));
    const size_t old = buffer.size();
    buffer.resize(old + want);
    ssize_t got = ::pread(held->fd(), buffer.data() + old, want, offset);
    if (got < 0 && errno == EINTR) {
      buffer.resize(old);
      continue;
    }
    if (got <= 0) {
      buffer.resize(old);
      break;
    }
    buffer.resize(old + static_cast<size_t>(got));
    offset += got;
    result.bytesRead += got;

    size_t start = 0;
    for (size_t lf = buffer.find('\n', old); lf != std::string::npos;
         lf = buffer.find('\n', lf + 1)) {
      std::string_view line(buffer.data() + start, lf - start);
      if (skipping) {
        skipping = false;
      } else if (line.size() > kLineCap) {
        // Too long to be worth its memory; see kLineCap.
      } else if (auto text = shardLine(line)) {
        out += *text;
        ++result.lines;
      }
      start = lf + 1;
      result.pos = bufferAt + static_cast<int64_t>(start);
    }
    buffer.erase(0, start);
    bufferAt += static_cast<int64_t>(start);
    if (buffer.size() > kLineCap) {
      skipping = true;
      bufferAt += static_cast<int64_t>(buffer.size());
      buffer.clear();
    }
    if (out.size() >= kFlushBytes) flush();
  }
  flush();
  if (shardFd >= 0) {
    if (writeFailed) (void)::ftruncate(shardFd, shardStart);
    ::close(shardFd);
  }
  result.ok = !writeFailed;
  return result;
}

std::map<std::string, Mark> loadMarks(Keeper& keeper) {
  const std::string path = manifestPath();
  auto attributes = Files::attributes(path);
  if (!attributes || !attributes->regular) return {};
  if (auto kept = keeper.manifest.find(path, attributes->size, attributes->modified)) return *kept;
  auto marks = parseManifest(Files::read(path).value_or(""));
  keeper.manifest.keep(path, attributes->size, attributes->modified, marks);
  return marks;
}

bool saveMarks(Keeper& keeper, const std::map<std::string, Mark>& marks) {
  const std::string path = manifestPath();
  if (!Files::writeAtomic(path, manifestText(marks), 0600)) return false;
  if (auto attributes = Files::attributes(path))
    keeper.manifest.keep(path, attributes->size, attributes->modified, marks);
  return true;
}

}  // namespace

std::string dir() {
  return Paths::agent("velmo-index");
}
std::string shardPath(const std::string& sid) {
  return Files::join(dir(), sid + ".txt");
}
std::string manifestPath() {
  return Files::join(dir(), "manifest.json");
}

std::string projectLabel(std::string_view folderName) {
  auto pieces = Text::split(folderName, '-', true);
  if (pieces.empty()) return "";
  if (pieces.size() <= 2) return Lang::pick("home", "בית");
  return pieces.back();
}

std::string clean(std::string_view text) {
  std::string s = Transcript::withoutSystemBlocks(text);
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  std::string joined;
  joined.reserve(s.size());
  for (char c : s)
    if (!(c == ' ' && !joined.empty() && joined.back() == ' ')) joined += c;
  return Text::trim(joined);
}

std::optional<std::string> shardLine(std::string_view record) {
  using simdjson::SUCCESS;
  if (record.empty() || record.find(kToolMarker) != std::string_view::npos) return std::nullopt;
  thread_local Sessions::JsonLine parser;
  auto object = parser.object(record);
  if (!object) return std::nullopt;
  bool sidechain = false;
  if ((*object)["isSidechain"].get(sidechain) == SUCCESS && sidechain) return std::nullopt;
  std::string_view type;
  if ((*object)["type"].get(type) != SUCCESS || (type != "user" && type != "assistant"))
    return std::nullopt;

  std::string text;
  simdjson::dom::element content;
  if ((*object)["message"]["content"].get(content) != SUCCESS) return std::nullopt;
  std::string_view plain;
  simdjson::dom::array blocks;
  if (content.get(plain) == SUCCESS) {
    text = plain;
  } else if (content.get(blocks) == SUCCESS) {
    bool first = true;
    for (simdjson::dom::element block : blocks) {
      std::string_view kind, piece;
      if (block["type"].get(kind) != SUCCESS) continue;
      if (kind == "tool_result") return std::nullopt;
      if (kind != "text" || block["text"].get(piece) != SUCCESS) continue;
      if (!first) text += ' ';
      text += piece;
      first = false;
    }
  } else {
    return std::nullopt;
  }
  text = clean(text);
  if (Text::length(text) < 2) return std::nullopt;

  long long epoch = 0;
  std::string_view stamp;
  if ((*object)["timestamp"].get(stamp) == SUCCESS) {
    if (auto t = Sessions::time(stamp); t && std::isfinite(*t))
      epoch = static_cast<long long>(std::trunc(*t));
  }
  std::string line = std::to_string(epoch);
  line += type == "user" ? "\ty\t" : "\tc\t";
  line += text;
  line += '\n';
  return line;
}

std::map<std::string, Mark> parseManifest(std::string_view text) {
  std::map<std::string, Mark> marks;
  auto json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object()) return marks;
  for (const auto& [sid, value] : json.items()) {
    if (!value.is_object()) continue;
    auto pos = value.find("pos"), size = value.find("size"), project = value.find("project");
    if (pos == value.end() || !pos->is_number_integer() || size == value.end() ||
        !size->is_number_integer())
      continue;
    Mark mark;
    mark.pos = pos->get<int64_t>();
    mark.size = size->get<int64_t>();
    if (mark.pos < 0 || mark.size < 0) continue;
    if (project != value.end() && project->is_string()) mark.project = project->get<std::string>();
    auto shard = value.find("shard");
    if (shard != value.end() && shard->is_number_integer() && shard->get<int64_t>() >= 0)
      mark.shard = shard->get<int64_t>();
    marks[sid] = std::move(mark);
  }
  return marks;
}

std::string manifestText(const std::map<std::string, Mark>& marks) {
  nlohmann::json json = nlohmann::json::object();
  for (const auto& [sid, mark] : marks) {
    nlohmann::json entry = {{"pos", mark.pos}, {"size", mark.size}, {"project", mark.project}};
    if (mark.shard) entry["shard"] = *mark.shard;
    json[sid] = std::move(entry);
  }
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<Log> allLogs() {
  std::vector<Log> logs;
  auto folders = Files::list(Paths::agent("projects"));
  if (!folders) return logs;
  for (const auto& folder : *folders) {
    if (Text::startsWith(folder.name, ".") || !Files::isDirectory(folder.path)) continue;
    std::string label = projectLabel(folder.name);
    auto entries = Files::list(folder.path);
    if (!entries) continue;
    for (const auto& entry : *entries) {
      if (Files::extension(entry.name) != "jsonl") continue;
      auto attributes = Files::attributes(entry.path);
      if (attributes && !attributes->regular) continue;
      logs.push_back(Log{entry.path, attributes ? attributes->size : 0, label});
    }
  }
  return logs;
}

Report refresh(bool force) {
  Keeper& keeper = Keeper::shared();
  Report report;
  {
    std::lock_guard<std::mutex> guard(keeper.lock);
    if (keeper.building) return report;
    if (!force && Clock::now() - keeper.lastRefresh < kThrottleSeconds) return report;
    keeper.building = true;
    keeper.lastRefresh = Clock::now();
  }
  Files::makeDirectories(dir(), 0700);
  // Another Velmo on the same home may be refreshing: two writers would append the same
  // lines to a shard. Its refresh serves both; this one leaves it be.
  std::optional<FileLock> between = FileLock::tryTake(Files::join(dir(), ".refresh.lock"));
  if (!between) {
    std::lock_guard<std::mutex> guard(keeper.lock);
    keeper.building = false;
    return report;
  }
  report.ran = true;
  std::map<std::string, Mark> marks = loadMarks(keeper);

  std::vector<Log> logs = allLogs();
  report.listed = static_cast<int>(logs.size());
  {
    std::lock_guard<std::mutex> guard(keeper.lock);
    keeper.pending = report.listed;
  }
  bool changed = false;
  double lastSave = Clock::monotonic();
  for (const Log& log : logs) {
    const std::string sid = Files::baseName(log.path);
    const std::string shard = shardPath(sid);
    auto found = marks.find(sid);
    const Mark* mark = found == marks.end() ? nullptr : &found->second;

    bool work = true;
    int64_t from = 0, shardStart = 0;
    const int64_t shardNow = sizeOf(shard).value_or(0);
    if (mark && log.size < mark->size) {
      ++report.rebuilt;  // the transcript shrank: it was replaced, so start over
    } else if (mark && mark->size == log.size && mark->pos >= 1) {
      work = false;
    } else if (mark) {
      from = mark->pos;
      // An older manifest does not know the shard's length; trust the shard as it is.
      shardStart = mark->shard.value_or(shardNow);
      if (shardNow < shardStart) {
        // Lines the mark counts on are gone (the shard was removed): start over.
        from = 0;
        shardStart = 0;
        ++report.rebuilt;
      }
    }
    // Without a mark the shard, if any, is left from a lost manifest: start it afresh
    // rather than append the same lines a second time.
    if (work) {
      if (shardNow != shardStart && !cutShard(shard, shardStart)) {
        // A shard that cannot be cut would take the lines twice: leave this one for later.
        work = false;
      }
    }
    if (work) {
      ++report.opened;
      Appended added = append(log, from, shard, shardStart);
      report.bytesRead += added.bytesRead;
      if (added.ok) {
        report.linesAdded += added.lines;
        marks[sid] = Mark{added.pos, log.size, log.project, added.shardLength};
        changed = true;
      }
    }
    {
      std::lock_guard<std::mutex> guard(keeper.lock);
      --keeper.pending;
    }
    if (changed && Clock::monotonic() - lastSave >= kSaveEverySeconds) {
      saveMarks(keeper, marks);
      changed = false;
      lastSave = Clock::monotonic();
    }
  }

  std::unordered_map<std::string, std::string> projects;
  for (const Log& log : logs) projects[Files::baseName(log.path)] = log.project;
  if (changed && !saveMarks(keeper, marks))
    ::Log::note(Lang::pick("could not save the search index's manifest",
                           "לא ניתן לשמור את רשימת אינדקס החיפוש"));
  std::lock_guard<std::mutex> guard(keeper.lock);
  keeper.projects = std::move(projects);
  keeper.building = false;
  keeper.pending = 0;
  return report;
}

bool building() {
  Keeper& keeper = Keeper::shared();
  std::lock_guard<std::mutex> guard(keeper.lock);
  return keeper.building;
}

int pending() {
  Keeper& keeper = Keeper::shared();
  std::lock_guard<std::mutex> guard(keeper.lock);
  return keeper.pending;
}

std::string project(const std::string& sid) {
  Keeper& keeper = Keeper::shared();
  std::lock_guard<std::mutex> guard(keeper.lock);
  auto it = keeper.projects.find(sid);
  return it == keeper.projects.end() ? std::string() : it->second;
}

std::vector<std::string> shardsByRecency() {
  struct Shard {
    std::string path;
    Clock::Time modified;
  };
  std::vector<Shard> shards;
  auto entries = Files::list(dir());
  if (!entries) return {};
  for (const auto& entry : *entries) {
    if (Files::extension(entry.name) != "txt") continue;
    auto attributes = Files::attributes(entry.path);
    shards.push_back({entry.path, attributes ? attributes->modified : Clock::kDistantPast});
  }
  std::stable_sort(shards.begin(), shards.end(),
                   [](const Shard& a, const Shard& b) { return a.modified > b.modified; });
  std::vector<std::string> paths;
  paths.reserve(shards.size());
  for (auto& s : shards) paths.push_back(std::move(s.path));
  return paths;
}

}  // namespace Index
