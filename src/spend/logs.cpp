#include "spend/logs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string_view>

#include "base/paths.h"
#include "base/text.h"
#include "spend/rates.h"

namespace Spend {

namespace {

// Deeper than any folder the agent makes; a bound all the same.
constexpr int kDeepest = 8;
// A folder changed this recently may change again within the same tick of the file
// system's clock without its time moving: its listing is read again next time.
constexpr double kSettled = 2;

bool isLogName(std::string_view name) {
  return name.size() > 6 && Text::endsWith(name, ".jsonl");
}

double seconds(const struct timespec& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The wall clock the file system stamps folders with (never a test's clock).
double fileSystemNow() {
  struct timespec t {};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return seconds(t);
}

}  // namespace

const LogFinder::Listing* LogFinder::listing(const std::string& dir, const struct stat& st,
                                             double now, bool follow) {
  auto found = listings.find(dir);
  if (found != listings.end() && found->second.modified == seconds(st.st_mtim) &&
      found->second.listedAt - found->second.modified > kSettled)
    return &found->second;
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    listings.erase(dir);
    return nullptr;
  }
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    listings.erase(dir);
    return nullptr;
  }
  Listing fresh;
  fresh.modified = seconds(st.st_mtim);
  fresh.listedAt = now;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    bool log = isLogName(name);
    // Only logs and what may be a folder are worth remembering.
    if (!log && e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
    fresh.entries.push_back({std::string(name), log});
  }
  ::closedir(d);
  if (listings.size() > kListingsKept) listings.clear();
  return &(listings[dir] = std::move(fresh));
}

void LogFinder::walk(const std::string& dir, const std::string& relative, int depth,
                     const struct stat& st, double now, const Found& found) {
  // The projects folder and each project's folder may be links; nothing below them.
  const Listing* list = listing(dir, st, now, depth <= 1);
  if (!list) return;
  // Copied: the walk below may replace this folder's entry in the cache.
  std::vector<Entry> entries = list->entries;
  // Beside a few entries, each looked up by its whole path; beside more, the folder is held
  // and each looked up by its name alone, which saves walking the path again for each.
  int at = AT_FDCWD;
  if (entries.size() >= 3)
    at = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | (depth <= 1 ? 0 : O_NOFOLLOW));
  if (at < 0) at = AT_FDCWD;
  for (const Entry& e : entries) {
    std::string path = dir + "/" + e.name;
    const char* name = at == AT_FDCWD ? path.c_str() : e.name.c_str();
    std::string rel = relative.empty() ? e.name : relative + "/" + e.name;
    struct stat sub {};
    if (e.log) {
      if (::fstatat(at, name, &sub, 0) == 0 && S_ISREG(sub.st_mode)) found(rel, sub);
      continue;
    }
    // Links to folders are not followed, so a link loop cannot walk for ever.
    if (depth >= kDeepest || ::fstatat(at, name, &sub, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(sub.st_mode))
      continue;
    walk(path, rel, depth + 1, sub, now, found);
  }
  if (at != AT_FDCWD) ::close(at);
}

std::vector<Log> LogFinder::allLogs() {
  std::vector<Log> logs;
  const double now = fileSystemNow();
  std::string projects = Paths::agent("projects");
  struct stat st {};
  if (::stat(projects.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return logs;
  const Listing* top = listing(projects, st, now, true);
  if (!top) return logs;
  std::vector<Entry> folders = top->entries;
  for (const Entry& f : folders) {
    if (f.log) continue;
    std::string dir = projects + "/" + f.name;
    struct stat fst {};
    if (::stat(dir.c_str(), &fst) != 0 || !S_ISDIR(fst.st_mode)) continue;
    std::string project = Text::validUtf8(projectName(f.name));
    walk(dir, "", 1, fst, now, [&](const std::string& relative, const struct stat& file) {
      Log log;
      log.path = dir + "/" + relative;
      // Keys are stored as JSON text, which must be UTF-8 whatever bytes a name holds.
      log.key = Text::validUtf8(f.name + "/" + relative);
      auto slash = relative.find('/');
      // A transcript at the top is its own session's; one further down belongs to the
      // session named by the folder it lies in.
      log.sid = Text::validUtf8(slash == std::string::npos ? relative.substr(0, relative.size() - 6)
                                                           : relative.substr(0, slash));
      log.size = static_cast<int64_t>(file.st_size);
      log.modified = seconds(file.st_mtim);
      log.project = project;
      logs.push_back(std::move(log));
    });
  }
  std::sort(logs.begin(), logs.end(), [](const Log& a, const Log& b) {
    return a.modified != b.modified ? a.modified < b.modified : a.key < b.key;
  });
  return logs;
}

void LogFinder::clear() {
  listings.clear();
}

}  // namespace Spend
