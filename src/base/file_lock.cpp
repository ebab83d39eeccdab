#include "base/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

std::optional<FileLock> FileLock::tryTake(const std::string& path) {
  // Never through a link and never a FIFO: the lock file is ours alone.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return FileLock(fd);
}

FileLock::FileLock(FileLock&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

FileLock::~FileLock() {
  if (fd >= 0) ::close(fd);
}
