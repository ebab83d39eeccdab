#pragma once
// What the modules remember between calls (file readings, discovered terminals, typing
// marks, loaded settings) is enrolled here, so one call empties all of it: a test starts
// from nothing, and a benchmark times a cold read.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Caches {

/// One module's remembered state: how to empty it and how many entries it holds now.
/// Enrolled while it lives.
class Enrolled {
 public:
  Enrolled(std::string name, std::function<void()> empty, std::function<size_t()> held);
  ~Enrolled();
  Enrolled(const Enrolled&) = delete;
  Enrolled& operator=(const Enrolled&) = delete;

 private:
  uint64_t id;
};

/// Enrols a container that `lock` guards: emptied by clear(), holding size() entries.
template <typename Container>
Enrolled guarded(std::string name, std::mutex& lock, Container& kept) {
  return Enrolled(
      std::move(name),
      [&lock, &kept] {
        std::lock_guard<std::mutex> guard(lock);
        kept.clear();
      },
      [&lock, &kept] {
        std::lock_guard<std::mutex> guard(lock);
        return static_cast<size_t>(kept.size());
      });
}

/// Empties every enrolled cache.
void emptyAll();

struct Holding {
  std::string name;
  size_t held = 0;
};
/// Every enrolled cache with the entries it holds, in the order they were enrolled.
std::vector<Holding> holdings();

}  // namespace Caches
