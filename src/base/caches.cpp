#include "base/caches.h"

#include <mutex>

namespace Caches {

namespace {

struct Entry {
  uint64_t id = 0;
  std::string name;
  std::function<void()> empty;
  std::function<size_t()> held;
};

// Enrolment happens while the program's statics are built, so the list is built on first use.
struct Registry {
  std::mutex lock;
  std::vector<Entry> entries;
  uint64_t next = 1;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

Enrolled::Enrolled(std::string name, std::function<void()> empty, std::function<size_t()> held) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  id = r.next++;
  r.entries.push_back({id, std::move(name), std::move(empty), std::move(held)});
}

Enrolled::~Enrolled() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  std::erase_if(r.entries, [this](const Entry& e) { return e.id == id; });
}

void emptyAll() {
  std::vector<Entry> entries;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    entries = r.entries;
  }
  for (const auto& e : entries) e.empty();
}

std::vector<Holding> holdings() {
  std::vector<Entry> entries;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    entries = r.entries;
  }
  std::vector<Holding> out;
  out.reserve(entries.size());
  for (const auto& e : entries) out.push_back({e.name, e.held()});
  return out;
}

}  // namespace Caches
