#pragma once
// A lock between processes on a file of our own: held while the value lives, and dropped by
// the kernel when the process dies however it dies, so no stale lock outlives a crash.
//
// A lock is held on an open file, not on a name: once the file is removed or replaced, a
// newcomer opens another file under the same name and locks that one too. So a lock is
// taken only when, after locking, the name still leads to the locked file, and a holder
// asks `namedBy` whenever it relies on holding it.

#include <sys/types.h>

#include <optional>
#include <string>

class FileLock {
 public:
  /// Why a lock was not taken.
  enum class Fault {
    none,
    held,        ///< another open file holds it (EWOULDBLOCK): the only ordinary refusal
    notRegular,  ///< a folder, a FIFO, a link or another odd file has the name
    notOurs,     ///< the file belongs to another user, or we may not open it
    noLocks,     ///< the file system does not lock (ENOLCK, EOPNOTSUPP)
    moving,      ///< the name kept leading to another file than the one locked
    other,
  };
  struct Attempt;

  /// Takes the lock on `path` (created 0600 when absent) without waiting, and only while
  /// the name still leads to the locked file afterwards.
  static Attempt take(const std::string& path);
  /// The same, the fault left out.
  static std::optional<FileLock> tryTake(const std::string& path);

  /// Whether `path` still names the locked file (not removed, not replaced).
  bool namedBy(const std::string& path) const;
  /// Replaces the file's content; the file is the holder's while it is held.
  bool rewrite(const std::string& text) const;

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
  FileLock(int fd, dev_t dev, ino_t ino) : fd(fd), dev(dev), ino(ino) {}
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
};

struct FileLock::Attempt {
  std::optional<FileLock> lock;
  Fault fault = Fault::none;
  int error = 0;  ///< errno of the failing call, when there was one
  /// What went wrong, for the user, naming the path ("" when taken or merely held).
  std::string why(const std::string& path) const;
};

