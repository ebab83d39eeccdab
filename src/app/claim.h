#pragma once
// One Velmo per user does what nobody asked for at that moment: the chores that type into
// terminals (renames, hand-offs, idle close) and the notifications. Two running Velmos would
// otherwise each type the same command into the same terminal and post every question twice.
// The one that holds the claim, a lock on a file in the private state folder, is that
// Velmo; the lock dies with its process, and another Velmo takes it at its next scan. The
// others are viewers: they paint and answer what their user picks, nothing more.

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "base/file_lock.h"

class Claim {
 public:
  /// The claim on `path`; by default the private state folder's "owner.lock".
  explicit Claim(std::string path = defaultPath());

  /// Holds the claim, taking it when it is free. True when this process holds it; true
  /// exactly once more with `fresh` set, the first time it is taken.
  struct Taken {
    bool held = false;
    bool fresh = false;
  };
  Taken take();
  /// Whether this process holds it (any thread).
  bool held() const { return holding.load(); }

  static std::string defaultPath();

 private:
  std::string path;
  std::mutex lock;
  std::optional<FileLock> file;
  std::atomic<bool> holding{false};
};
