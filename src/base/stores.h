#pragma once
// Velmo's JSON stores are shared: two Velmos on one home, or a Velmo and the agent, may
// change the same file. A change is therefore never a copy held in memory written back
// whole: it is made under the store's lock, to what is on disk at that moment, and written
// atomically, so each writer's change survives the other's next write.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "base/caches.h"

namespace Stores {

/// Which file a path holds now: a store replaced by a rename is a new inode even when its
/// size and time (coarse on most file systems) stay the same.
struct Stamp {
  dev_t device = 0;
  ino_t inode = 0;
  int64_t size = 0;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  bool operator==(const Stamp&) const = default;
};
/// None when nothing is at the path.
std::optional<Stamp> stamp(const std::string& path);

/// The store's JSON object as the file holds it now; an empty object when the file is
/// missing, unreadable or not an object.
nlohmann::json read(const std::string& path);

/// Under the store's lock (a flock on "PATH.lock" beside it), reads the file as it is now,
/// lets `change` change it, and writes it atomically with `mode` when `change` returns
/// true. A file that is there but cannot be read as a JSON object is kept beside it
/// ("PATH.unreadable-TIME") before the store starts again from empty; a folder or other
/// non-file at the path is left alone and nothing is written. False when nothing was
/// written (no change, or the write failed).
bool update(const std::string& path, const std::function<bool(nlohmann::json&)>& change,
            mode_t mode = 0600);

/// The last reading of one store, read again only when the file is another one or changed
/// (its `Stamp`), so readers on every scan see other writers' changes at the cost of a stat.
class Kept {
 public:
  /// Enrolled with the caches under `name`.
  explicit Kept(std::string name);
  /// Not enrolled: for an owner that empties it with more of its own.
  Kept() = default;
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;

  /// The store at `path` as it is now (shared, never changed in place).
  std::shared_ptr<const nlohmann::json> get(const std::string& path);
  void forget();
  /// 1 while a reading is kept, else 0.
  size_t held();

 private:
  std::mutex lock;
  std::string path;
  std::optional<Stamp> seen;
  std::shared_ptr<const nlohmann::json> value;
  std::optional<Caches::Enrolled> enrolled;
};

}  // namespace Stores
