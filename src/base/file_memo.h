#pragma once
// A value worked out from a file, kept while the file keeps its size and modification
// time. Readers of the agent's transcripts ask for the same answer on every scan, and
// most files have not changed since the last one. Bounded: when full, it starts over.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/caches.h"
#include "base/clock.h"

template <typename Value>
class FileMemo {
 public:
  /// `name` enrols the memo with the caches emptied together.
  FileMemo(std::string name, size_t cap)
      : cap(cap),
        enrolled(
            std::move(name), [this] { clear(); }, [this] { return size(); }) {}
  FileMemo(const FileMemo&) = delete;
  FileMemo& operator=(const FileMemo&) = delete;

  /// The value kept for `key` when the file still has this size and time.
  std::optional<Value> find(const std::string& key, int64_t size, Clock::Time modified) const {
    std::lock_guard<std::mutex> guard(lock);
    auto it = entries.find(key);
    if (it == entries.end() || it->second.size != size || it->second.modified != modified)
      return std::nullopt;
    return it->second.value;
  }

  void keep(const std::string& key, int64_t size, Clock::Time modified, Value value) {
    std::lock_guard<std::mutex> guard(lock);
    if (entries.size() >= cap && !entries.count(key)) entries.clear();
    entries[key] = Entry{size, modified, std::move(value)};
  }

  void clear() {
    std::lock_guard<std::mutex> guard(lock);
    entries.clear();
  }

  size_t size() const {
    std::lock_guard<std::mutex> guard(lock);
    return entries.size();
  }

 private:
  struct Entry {
    int64_t size = 0;
    Clock::Time modified = Clock::kDistantPast;
    Value value;
  };
  mutable std::mutex lock;
  std::unordered_map<std::string, Entry> entries;
  size_t cap;
  Caches::Enrolled enrolled;
};
