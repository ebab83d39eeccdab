// Owner-only files in the private state folder. Every file is created 0600 and set to
// 0600 again on the open descriptor, so a loose umask never shows one to other users,
// not even for a moment.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "feed/state_feed.h"

namespace StateFeed {
namespace {

std::mutex appendLock;  // lines from different threads never interleave

bool writeAll(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

std::string dir() { return Paths::stateDir(); }

std::string stateFile() { return Files::join(dir(), "sessions.json"); }

bool ensureDir() {
  std::string d = dir();
  if (!Files::makeDirectories(d, 0700)) return false;
  return ::chmod(d.c_str(), 0700) == 0;
}

bool writePrivate(const std::string& data, const std::string& path) {
  if (!ensureDir()) return false;
  std::string temp = Files::join(parentOf(path), "." + Text::lastComponent(path) + "." +
                                                     std::to_string(::getpid()) + ".tmp");
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, data);
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool appendPrivate(const std::string& text, const std::string& path) {
  if (!ensureDir()) return false;
  std::string line = text;
  if (line.empty() || line.back() != '\n') line += '\n';
  std::lock_guard<std::mutex> guard(appendLock);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, line);
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace StateFeed
