#pragma once
// A lock between processes on a file of our own: held while the value lives, and dropped by
// the kernel when the process dies however it dies, so no stale lock outlives a crash.

#include <optional>
#include <string>

class FileLock {
 public:
  /// Takes the lock on `path` (created 0600 when absent) without waiting; no value when
  /// another holder has it, or the file cannot be opened as a regular file.
  static std::optional<FileLock> tryTake(const std::string& path);

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
  explicit FileLock(int fd) : fd(fd) {}
  int fd = -1;
};
