#include "support/home.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "base/caches.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/settings.h"
#include "sessions/questions_read.h"
#include "sessions/state.h"
#include "sessions/transcript.h"
#include "terminals/discover.h"

namespace {
// Settings are among the caches: the next read loads the new home's file.
void forgetAll() {
  Caches::emptyAll();
}
}  // namespace

std::string makeTempDir(const std::string& stem) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + stem + "-XXXXXX";
  std::string buf = pattern;
  if (!::mkdtemp(buf.data())) std::abort();
  return buf;
}

void removeTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void setModified(const std::string& path, double when) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(when);
  times[0].tv_nsec = static_cast<long>((when - static_cast<double>(times[0].tv_sec)) * 1e9);
  times[1] = times[0];
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

ScopedHome::ScopedHome() : root(makeTempDir("velmo-home")) {
  if (const char* h = std::getenv("HOME")) {
    hadHome = true;
    oldHome = h;
  }
  if (const char* c = std::getenv("XDG_CONFIG_HOME")) {
    hadConfig = true;
    oldConfig = c;
  }
  ::setenv("HOME", root.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("CLAUDE_CONFIG_DIR");
  Files::makeDirectories(root + "/.claude");
  forgetAll();
}

ScopedHome::~ScopedHome() {
  if (hadHome)
    ::setenv("HOME", oldHome.c_str(), 1);
  else
    ::unsetenv("HOME");
  if (hadConfig) ::setenv("XDG_CONFIG_HOME", oldConfig.c_str(), 1);
  removeTree(root);
  forgetAll();
}

std::string ScopedHome::agent(const std::string& relative) const {
  return root + "/.claude/" + relative;
}

std::string ScopedHome::write(const std::string& relative, const std::string& text) const {
  std::string path = root + "/" + relative;
  Files::makeDirectories(path.substr(0, path.find_last_of('/')));
  Files::writeAtomic(path, text);
  return path;
}
