#include "base/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <optional>

#include "base/caches.h"
#include "base/files.h"
#include "base/process.h"
#include "base/text.h"

namespace Paths {
namespace {

std::mutex lock;
std::optional<std::string> homeMemo;
std::optional<std::string> documentsMemo;

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace

std::string home() {
  std::lock_guard<std::mutex> guard(lock);
  if (!homeMemo) {
    std::string h = env("HOME");
    if (h.empty()) {
      struct passwd entry {};
      struct passwd* pw = nullptr;
      char buffer[4096];
      if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &pw) == 0 && pw && pw->pw_dir)
        h = pw->pw_dir;
    }
    while (h.size() > 1 && h.back() == '/') h.pop_back();
    homeMemo = h.empty() ? std::string("/") : h;
  }
  return *homeMemo;
}

std::string agentDir() {
  std::string dir = env("CLAUDE_CONFIG_DIR");
  if (!dir.empty()) return dir;
  return Files::join(home(), ".claude");
}

std::string agent(const std::string& relative) {
  return Files::join(agentDir(), relative);
}

std::string documents() {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (documentsMemo) return *documentsMemo;
  }
  std::string h = home();
  std::string folder = Files::join(h, "Documents");
  // xdg-user-dir answers the home folder itself when no documents folder is configured.
  if (auto out = Terminals::shell("/usr/bin/xdg-user-dir", {"DOCUMENTS"}, 2.0)) {
    std::string dir = Text::trim(*out);
    if (!dir.empty() && dir != h && dir[0] == '/') folder = dir;
  }
  std::string result = Files::join(folder, "claude");
  std::lock_guard<std::mutex> guard(lock);
  documentsMemo = result;
  return result;
}

std::string configDir() {
  std::string base = env("XDG_CONFIG_HOME");
  if (base.empty() || base[0] != '/') base = Files::join(home(), ".config");
  return Files::join(base, "velmo");
}

std::string stateDir() {
  return agent("velmo-state");
}

std::string host() {
  // The short name, cut at the first dot and to a length that keeps a socket's path in
  // its 108 bytes; only letters, digits, '-' and '_' reach a file name.
  constexpr size_t kMost = 32;
  char name[256] = {};
  std::string out;
  if (::gethostname(name, sizeof name - 1) == 0) {
    for (const char* c = name; *c && *c != '.' && out.size() < kMost; ++c) {
      bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                   (*c >= '0' && *c <= '9') || *c == '-' || *c == '_';
      out += plain ? *c : '_';
    }
  }
  return out.empty() ? std::string("localhost") : out;
}

namespace {
const Caches::Enrolled enrolled(
    "home folders",
    [] {
      std::lock_guard<std::mutex> guard(lock);
      homeMemo.reset();
      documentsMemo.reset();
    },
    [] {
      std::lock_guard<std::mutex> guard(lock);
      return size_t{homeMemo.has_value()} + size_t{documentsMemo.has_value()};
    });
}  // namespace

}  // namespace Paths
