#include "base/log.h"

#include <cstdio>
#include <mutex>

#include "base/files.h"
#include "base/lang.h"
#include "base/timefmt.h"

namespace Log {
namespace {
std::mutex lock;
}

void line(const std::string& file, const std::string& text) {
  std::string entry = TimeText::iso8601(Clock::now()) + " " + text + "\n";
  std::lock_guard<std::mutex> guard(lock);
  Files::append(file, entry, 0600);
}

void note(const std::string& text) {
  std::string entry = std::string(Lang::pick("Velmo: ", "ולמו: ")) + text + "\n";
  std::fputs(entry.c_str(), stderr);
}

}  // namespace Log
