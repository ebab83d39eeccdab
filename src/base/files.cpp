#include "base/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

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

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool isDirectory(const std::string& path) {
  auto a = attributes(path);
  return a && a->directory;
}

bool isExecutableFile(const std::string& path) {
  auto a = attributes(path);
  return a && a->regular && ::access(path.c_str(), X_OK) == 0;
}

namespace {
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool readAll(int fd, std::string& out) {
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buffer, static_cast<size_t>(n));
  }
}
}  // namespace

std::optional<std::string> read(const std::string& path) {
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (f.fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(f.fd, &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  std::string out;
  if (st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  if (!readAll(f.fd, out)) return std::nullopt;
  return out;
}

std::optional<Tail> readTail(const std::string& path, int64_t maxBytes) {
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (f.fd < 0) return std::nullopt;
  Tail tail;
  off_t end = ::lseek(f.fd, 0, SEEK_END);
  if (end < 0) end = 0;
  tail.fileSize = end;
  off_t start = end >= maxBytes ? end - maxBytes : 0;
  // A failed seek reads from the start, as if the file were small.
  if (::lseek(f.fd, start, SEEK_SET) < 0) {
    start = 0;
    ::lseek(f.fd, 0, SEEK_SET);
  }
  tail.cut = start > 0;
  tail.bytes.reserve(static_cast<size_t>(end - start));
  if (!readAll(f.fd, tail.bytes)) return std::nullopt;
  return tail;
}

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
  if (!ok) ::unlink(temp.c_str());
  return ok;
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
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
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
