#include "base/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "base/caches.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/text.h"

namespace Files {

static Clock::Time toTime(const struct timespec& ts) {
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::optional<Attributes> attributes(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  Attributes a;
  a.size = st.st_size;
  a.modified = toTime(st.st_mtim);
  a.directory = S_ISDIR(st.st_mode);
  a.regular = S_ISREG(st.st_mode);
  return a;
}

bool exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

bool isDirectory(const std::string& path) {
  auto a = attributes(path);
  return a && a->directory;
}

bool isExecutableFile(const std::string& path) {
  auto a = attributes(path);
  return a && a->regular && ::access(path.c_str(), X_OK) == 0;
}

namespace {

// The files whose refusal was logged, with the reason given, so a bad file found on every
// scan is reported once; reading it fine later forgets it. Emptied when it outgrows its cap.
constexpr size_t kReportedCap = 4096;
std::mutex reportedLock;
std::unordered_map<std::string, std::string> reported;  // path → reason; under reportedLock

// Marked before the language is asked: working out the language reads the settings file,
// which may be the very file refused here.
void refuse(const std::string& path, const std::string& english, const std::string& hebrew) {
  {
    std::lock_guard<std::mutex> guard(reportedLock);
    auto it = reported.find(path);
    if (it != reported.end() && it->second == english) return;
    if (reported.size() >= kReportedCap) reported.clear();
    reported[path] = english;
  }
  Log::note(Lang::pick("skipped ", "דילגתי על ") + path + ": " +
            (Lang::hebrew() ? hebrew : english));
}

const Caches::Enrolled enrolled = Caches::guarded("refused files", reportedLock, reported);

void refuseNotRegular(const std::string& path) {
  refuse(path, "not a regular file", "אינו קובץ רגיל");
}

void refuseLarger(const std::string& path, int64_t cap) {
  refuse(path, "larger than " + std::to_string(cap) + " bytes",
         "גדול מ-" + std::to_string(cap) + " בתים");
}

// A file that vanished between listing and reading is no news; anything else is.
void refuseFailed(const std::string& path, int error) {
  if (error == ENOENT || error == ENOTDIR) return;
  refuse(path, Text::systemError(error), Text::systemError(error));
}

void readFine(const std::string& path) {
  std::lock_guard<std::mutex> guard(reportedLock);
  if (!reported.empty()) reported.erase(path);
}

// Reads until the end of the file or until `out` holds `limit` bytes.
bool readUpTo(int fd, int64_t limit, std::string& out) {
  char buffer[65536];
  while (static_cast<int64_t>(out.size()) < limit) {
    size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(sizeof buffer),
                                                        limit - static_cast<int64_t>(out.size())));
    ssize_t n = ::read(fd, buffer, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

Held::~Held() {
  if (descriptor >= 0) ::close(descriptor);
}

Held::Held(Held&& other) noexcept : descriptor(other.descriptor), bytes(other.bytes) {
  other.descriptor = -1;
}

std::string Held::name() const {
  return "/proc/self/fd/" + std::to_string(descriptor);
}

std::optional<Held> hold(const std::string& path, int64_t cap) {
  struct stat st {};
  // Looking before opening means a device is never opened at all: opening some has effects.
  if (::stat(path.c_str(), &st) != 0) {
    refuseFailed(path, errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    refuseNotRegular(path);
    return std::nullopt;
  }
  // The name may have changed since: the descriptor is what counts, and opening without
  // blocking returns at once even if it is now a FIFO.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    refuseFailed(path, errno);
    return std::nullopt;
  }
  bool regular = false;
  if (::fstat(fd, &st) != 0) {
    refuseFailed(path, errno);
  } else if (!S_ISREG(st.st_mode)) {
    refuseNotRegular(path);
  } else if (cap >= 0 && st.st_size > cap) {
    refuseLarger(path, cap);
  } else {
    regular = true;
  }
  if (!regular) {
    ::close(fd);
    return std::nullopt;
  }
  return std::optional<Held>(std::in_place, fd, static_cast<int64_t>(st.st_size));
}

std::optional<std::string> read(const std::string& path, int64_t cap) {
  auto held = hold(path, cap);
  if (!held) return std::nullopt;
  std::string out;
  out.reserve(static_cast<size_t>(held->size()));
  // One byte past the cap tells a file that grew past it (or a /proc file, which has no
  // size) from one that fits.
  if (!readUpTo(held->fd(), cap + 1, out)) {
    refuseFailed(path, errno);
    return std::nullopt;
  }
  if (static_cast<int64_t>(out.size()) > cap) {
    refuseLarger(path, cap);
    return std::nullopt;
  }
  readFine(path);
  return out;
}

std::optional<std::string> readHead(const std::string& path, int64_t limit) {
  auto held = hold(path, -1);
  if (!held) return std::nullopt;
  std::string out;
  if (!readUpTo(held->fd(), std::max<int64_t>(limit, 0), out)) {
    refuseFailed(path, errno);
    return std::nullopt;
  }
  readFine(path);
  return out;
}

std::optional<Tail> readTail(const std::string& path, int64_t maxBytes) {
  auto held = hold(path, -1);
  if (!held) return std::nullopt;
  Tail tail;
  const int64_t end = held->size();
  tail.fileSize = end;
  int64_t start = end >= maxBytes ? end - maxBytes : 0;
  // A failed seek reads from the start, as if the file were small.
  if (::lseek(held->fd(), start, SEEK_SET) < 0) {
    start = 0;
    ::lseek(held->fd(), 0, SEEK_SET);
  }
  tail.cut = start > 0;
  // Only the bytes the file held when it was opened: a file written to meanwhile must not
  // make the read run on.
  tail.bytes.reserve(static_cast<size_t>(end - start));
  if (!readUpTo(held->fd(), end - start, tail.bytes)) {
    refuseFailed(path, errno);
    return std::nullopt;
  }
  readFine(path);
  return tail;
}

namespace {

// Makes a rename in `folder` durable: the new name reaches the disk, not only the data.
void syncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Temporary files of `path` that a writer killed mid-write left behind ("NAME.tmp-PID-N" of
// a process that is gone). A live writer's are left alone.
void sweepLeftovers(const std::string& folder, const std::string& name) {
  const std::string prefix = name + ".tmp-";
  const pid_t self = ::getpid();
  for (const auto& e : list(folder).value_or(std::vector<Entry>{})) {
    if (!Text::startsWith(e.name, prefix)) continue;
    std::string rest = e.name.substr(prefix.size());
    long long pid = 0;
    if (!Text::parseInt(rest.substr(0, rest.find('-')), pid) || pid <= 0 || pid == self) continue;
    // Signal 0 reaches any process that is still there (EPERM: another user's, alive).
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) ::unlink(e.path.c_str());
  }
}

}  // namespace

bool writeAtomic(const std::string& path, const std::string& data, mode_t mode) {
  static std::atomic<unsigned> counter{0};
  std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  ::fchmod(fd, mode);  // the umask must not widen or narrow what the caller asked for
  const char* p = data.data();
  size_t left = data.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  auto slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  syncFolder(folder);
  sweepLeftovers(folder, path.substr(slash == std::string::npos ? 0 : slash + 1));
  return true;
}

bool makeDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  if (isDirectory(path)) return true;
  std::string parent = path.substr(0, path.find_last_of('/'));
  if (!parent.empty() && parent != path && !isDirectory(parent) && !makeDirectories(parent, mode))
    return false;
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return false;
  return isDirectory(path);
}

bool append(const std::string& path, const std::string& data, mode_t mode) {
  int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  ::close(fd);
  return ok;
}

std::optional<std::vector<Entry>> list(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return std::nullopt;
  std::vector<Entry> out;
  while (struct dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    out.push_back({name, join(folder, name)});
  }
  ::closedir(dir);
  return out;
}

std::string join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string extension(const std::string& name) {
  std::string last = Text::lastComponent(name);
  size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  return last.substr(dot + 1);
}

std::string baseName(const std::string& name) {
  std::string last = Text::lastComponent(name);
  size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0) return last;
  return last.substr(0, dot);
}

}  // namespace Files
