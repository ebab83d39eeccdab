// Stand-in for the names store until its own implementation lands: names kept in memory.

#include <map>
#include <mutex>

#include "terminals/names.h"

namespace Names {
namespace {
std::mutex namesLock;
std::map<std::string, std::string> names;
}  // namespace

std::map<std::string, std::string> all() {
  std::lock_guard<std::mutex> guard(namesLock);
  return names;
}

std::string name(const std::string& sid) {
  std::lock_guard<std::mutex> guard(namesLock);
  auto it = names.find(sid);
  return it == names.end() ? "" : it->second;
}

void set(const std::string& name, const std::string& sid) {
  if (sid.empty()) return;
  std::lock_guard<std::mutex> guard(namesLock);
  if (name.empty())
    names.erase(sid);
  else
    names[sid] = name;
}

void rename(const std::string&, const std::string&, bool) {}
void setReal(const std::string&, const std::string&) {}
std::map<std::string, std::string> waiting() {
  return {};
}
void tick(const std::vector<Terminal>&) {}

}  // namespace Names
