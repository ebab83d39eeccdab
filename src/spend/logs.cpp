#include "spend/logs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "base/paths.h"
#include "base/text.h"
#include "spend/rates.h"

namespace Spend {

namespace {

// Deeper than any folder the agent makes; a bound all the same.
constexpr int kDeepest = 8;

bool isLogName(std::string_view name) {
  return name.size() > 6 && Text::endsWith(name, ".jsonl");
}

// Calls `found(relative path, stat)` for each regular "*.jsonl" file below `dir`. Links to
// folders are not followed, so a link loop cannot walk for ever.
template <typename Found>
void walk(int dirfd, const std::string& relative, int depth, Found&& found) {
  DIR* dir = ::fdopendir(dirfd);
  if (!dir) {
    ::close(dirfd);
    return;
  }
  while (dirent* e = ::readdir(dir)) {
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = relative.empty() ? std::string(name) : relative + "/" + std::string(name);
    struct stat st {};
    if (isLogName(name)) {
      if (::fstatat(::dirfd(dir), e->d_name, &st, 0) == 0 && S_ISREG(st.st_mode)) found(path, st);
      continue;
    }
    if (depth >= kDeepest) continue;
    if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
    if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
      continue;
    int sub = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0) walk(sub, path, depth + 1, found);
  }
  ::closedir(dir);
}

double modifiedOf(const struct stat& st) {
  return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
}

}  // namespace

std::vector<Log> allLogs() {
  std::vector<Log> logs;
  std::string projects = Paths::agent("projects");
  int root = ::open(projects.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return logs;
  DIR* dir = ::fdopendir(root);
  if (!dir) {
    ::close(root);
    return logs;
  }
  while (dirent* e = ::readdir(dir)) {
    std::string folder = e->d_name;
    if (folder == "." || folder == "..") continue;
    int fd = ::openat(root, e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    std::string project = projectName(folder);
    walk(fd, "", 1, [&](const std::string& relative, const struct stat& st) {
      Log log;
      log.path = projects + "/" + folder + "/" + relative;
      // Keys are stored as JSON text, which must be UTF-8 whatever bytes a name holds.
      log.key = Text::validUtf8(folder + "/" + relative);
      auto slash = relative.find('/');
      // A transcript at the top is its own session's; one further down belongs to the
      // session named by the folder it lies in.
      log.sid = slash == std::string::npos ? relative.substr(0, relative.size() - 6)
                                           : relative.substr(0, slash);
      log.sid = Text::validUtf8(log.sid);
      log.size = static_cast<int64_t>(st.st_size);
      log.modified = modifiedOf(st);
      log.project = project;
      logs.push_back(std::move(log));
    });
  }
  ::closedir(dir);
  std::sort(logs.begin(), logs.end(), [](const Log& a, const Log& b) {
    return a.modified != b.modified ? a.modified < b.modified : a.key < b.key;
  });
  return logs;
}

}  // namespace Spend
