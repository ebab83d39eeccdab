#include "base/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/lang.h"
#include "base/text.h"

namespace {

// Between our open and our lock another process may remove the file and make a new one;
// a few tries see that through, a name that keeps changing is a fault.
constexpr int kTries = 4;

FileLock::Fault openFault(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return FileLock::Fault::notOurs;
    case EISDIR:
    case ELOOP:
    case ENXIO:
      return FileLock::Fault::notRegular;
    default:
      return FileLock::Fault::other;
  }
}

}  // namespace

std::string FileLock::Attempt::why(const std::string& path) const {
  std::string detail = error ? " (" + Text::systemError(error) + ")" : "";
  switch (fault) {
    case Fault::none:
    case Fault::held:
      return "";
    case Fault::notRegular:
      return Lang::pick("something other than a plain file has the lock file's name: ",
                        "במקום קובץ הנעילה יש משהו שאינו קובץ רגיל: ") +
             path + detail;
    case Fault::notOurs:
      return Lang::pick("the lock file belongs to another user or may not be written: ",
                        "קובץ הנעילה שייך למשתמש אחר או שאין הרשאה לכתוב בו: ") +
             path + detail;
    case Fault::noLocks:
      return Lang::pick("the file system does not support locks here: ",
                        "מערכת הקבצים לא תומכת כאן בנעילות: ") +
             path + detail;
    case Fault::moving:
      return Lang::pick("the lock file keeps being replaced: ", "קובץ הנעילה מוחלף שוב ושוב: ") +
             path;
    case Fault::other:
      break;
  }
  return Lang::pick("the lock file cannot be locked: ", "אי אפשר לנעול את קובץ הנעילה: ") + path +
         detail;
}

FileLock::Attempt FileLock::take(const std::string& path) {
  Attempt a;
  for (int i = 0; i < kTries; ++i) {
    // Never through a link and never a FIFO: the lock file is ours alone.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                    0600);
    if (fd < 0 && errno == EEXIST) {
      fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
      if (fd < 0 && errno == ENOENT) continue;  // removed between the two opens
    }
    if (fd < 0) {
      a.error = errno;
      a.fault = openFault(a.error);
      return a;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      a.fault = Fault::notRegular;
      return a;
    }
    if (st.st_uid != ::geteuid()) {
      ::close(fd);
      a.fault = Fault::notOurs;
      return a;
    }
    int locked;
    do {
      locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      a.error = errno;
      ::close(fd);
      a.fault = a.error == EWOULDBLOCK                         ? Fault::held
                : a.error == ENOLCK || a.error == EOPNOTSUPP ? Fault::noLocks
                                                               : Fault::other;
      if (a.fault == Fault::held) a.error = 0;
      return a;
    }
    FileLock lock(fd, st.st_dev, st.st_ino);
    if (!lock.namedBy(path)) continue;  // we locked a file the name no longer leads to
    a.lock = std::move(lock);
    a.fault = Fault::none;
    a.error = 0;
    return a;
  }
  a.fault = Fault::moving;
  a.error = 0;
  return a;
}

std::optional<FileLock> FileLock::tryTake(const std::string& path) {
  return std::move(take(path).lock);
}

bool FileLock::namedBy(const std::string& path) const {
  struct stat st {};
  return fd >= 0 && ::lstat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

bool FileLock::rewrite(const std::string& text) const {
  if (fd < 0 || ::ftruncate(fd, 0) != 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd(std::exchange(other.fd, -1)), dev(other.dev), ino(other.ino) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
    dev = other.dev;
    ino = other.ino;
  }
  return *this;
}

FileLock::~FileLock() {
  if (fd >= 0) ::close(fd);
}
