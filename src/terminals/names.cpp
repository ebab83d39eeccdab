#include "terminals/names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/caches.h"
#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "sessions/state.h"
#include "terminals/automation.h"
#include "terminals/discover.h"

namespace Names {
namespace {

constexpr size_t kNameChars = 80;
// Each /rename moves the registry's status stamp and adds records to the transcript, so a
// name the agent never takes must not be typed at every idle moment for ever.
constexpr int kTypedAttempts = 3;

// Guards the name cache, the typed-attempt counts and every read-change-write of the
// renames file.
std::mutex lock;
std::optional<std::map<std::string, std::string>> cache;
// sid → the name typed for it and how many times; reset when a different name is wanted.
struct Attempts {
  std::string wanted;
  int typed = 0;
  std::string held;  ///< why the last try typed nothing, logged once per reason
};
std::map<std::string, Attempts> attempts;

const Caches::Enrolled enrolled(
    "names",
    [] {
      std::lock_guard<std::mutex> guard(lock);
      cache.reset();
      attempts.clear();
    },
    [] {
      std::lock_guard<std::mutex> guard(lock);
      return (cache ? cache->size() : 0) + attempts.size();
    });

std::string namesFile() {
  return Paths::agent("velmo-names.json");
}

std::string renamesFile() {
  return Paths::agent("velmo-renames.json");
}

// Trimmed, valid UTF-8, its first 80 characters (never a cut character).
std::string cut(const std::string& name) {
  return Text::prefix(Text::validUtf8(Text::trim(name)), kNameChars);
}

// A store read whole; anything unreadable, or an entry that is not text, counts as absent.
std::map<std::string, std::string> readMap(const std::string& path) {
  std::map<std::string, std::string> out;
  auto text = Files::read(path, Files::kStoreBytes);
  if (!text) return out;
  auto json = nlohmann::json::parse(*text, nullptr, false);
  if (!json.is_object()) return out;
  for (const auto& [sid, value] : json.items())
    if (value.is_string()) out[sid] = value.get<std::string>();
  return out;
}

// Failures leave the old file.
void writeMap(const std::string& path, const std::map<std::string, std::string>& map) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [sid, name] : map) out[sid] = name;
  Files::makeDirectories(Paths::agentDir(), 0700);
  Files::writeAtomic(path, out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                     0600);
}

// Caller holds the lock.
void forget(const std::string& sid) {
  auto waits = readMap(renamesFile());
  if (waits.erase(sid)) writeMap(renamesFile(), waits);
  attempts.erase(sid);
}

void done(const std::string& sid) {
  std::lock_guard<std::mutex> guard(lock);
  forget(sid);
}

// Appends all of `bytes` with one write to an existing regular file; never creates one.
bool appendExisting(const std::string& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  return ok;
}

}  // namespace

std::map<std::string, std::string> all() {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (cache) return *cache;
  }
  auto loaded = readMap(namesFile());
  std::lock_guard<std::mutex> guard(lock);
  if (!cache) cache = std::move(loaded);
  return *cache;
}

std::string name(const std::string& sid) {
  if (sid.empty()) return "";
  auto names = all();
  auto it = names.find(sid);
  return it == names.end() ? "" : it->second;
}

void set(const std::string& newName, const std::string& sid) {
  if (sid.empty()) return;
  all();  // loads the file once
  std::string kept = cut(newName);
  std::lock_guard<std::mutex> guard(lock);
  auto names = cache.value_or(std::map<std::string, std::string>{});
  if (kept.empty())
    names.erase(sid);
  else
    names[sid] = kept;
  cache = names;
  writeMap(namesFile(), names);
}

void rename(const std::string& newName, const std::string& sid, bool live) {
  std::string wanted = cut(newName);
  if (sid.empty() || wanted.empty()) return;
  if (!live) {
    setReal(wanted, sid);
    return;
  }
  for (const auto& t : Terminals::open())
    if (t.sessionID == sid) {
      Terminals::setWindowTitle(wanted, t.tty);
      break;
    }
  std::lock_guard<std::mutex> guard(lock);
  auto waits = readMap(renamesFile());
  waits[sid] = wanted;
  writeMap(renamesFile(), waits);
  attempts.erase(sid);
}

void setReal(const std::string& newName, const std::string& sid) {
  std::string wanted = cut(newName);
  if (sid.empty() || wanted.empty()) return;
  auto path = Sessions::transcriptURL(sid);
  if (!path) return;
  // The agent shows the custom title, and takes its registry name on resume from the last
  // agent-name record, so both go in: one write, so no reader sees only the first.
  // In the agent's own key order, "type" first, for readers that look for it by its bytes.
  auto record = [](const nlohmann::ordered_json& j) {
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  };
  std::string bytes;
  auto tail = Files::readTail(*path, 1);
  if (!tail) return;
  if (!tail->bytes.empty() && tail->bytes.back() != '\n') bytes += '\n';
  bytes += record({{"type", "custom-title"}, {"customTitle", wanted}, {"sessionId", sid}});
  bytes += record({{"type", "agent-name"}, {"agentName", wanted}, {"sessionId", sid}});
  appendExisting(*path, bytes);
}

std::map<std::string, std::string> waiting() {
  return readMap(renamesFile());
}

void tick(const std::vector<Terminal>& terminals) {
  std::map<std::string, std::string> waits;
  {
    std::lock_guard<std::mutex> guard(lock);
    waits = waiting();
  }
  for (const auto& [sid, wanted] : waits) {
    auto term = std::find_if(terminals.begin(), terminals.end(),
                             [&, &sid = sid](const Terminal& t) { return t.sessionID == sid; });
    if (term == terminals.end()) {
      // Closed meanwhile: the transcript carries the name to the next resume.
      setReal(wanted, sid);
      done(sid);
      continue;
    }
    if (Terminals::status(term->pid) != "idle") continue;
    // The agent may have taken the last /rename after that pass looked.
    if (Terminals::registryField(term->pid, "name") == wanted) {
      done(sid);
      continue;
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      Attempts& a = attempts[sid];
      if (a.wanted != wanted) a = {wanted, 0};
      if (a.typed >= kTypedAttempts) {
        forget(sid);
        Log::note("the agent in " + term->tty + " never took the name \"" + wanted + "\" after " +
                  std::to_string(kTypedAttempts) + " tries; no longer renaming " + sid);
        continue;
      }
    }
    Terminals::Sent sent = Terminals::send("/rename " + wanted, term->tty, terminals);
    if (Terminals::registryField(term->pid, "name") == wanted) {
      done(sid);
      continue;
    }
    std::lock_guard<std::mutex> guard(lock);
    Attempts& a = attempts[sid];
    if (a.wanted != wanted) continue;
    // Held back before typing (a prompt on screen, a person's unsent words, a screen that
    // cannot be read): not a try; a later calm pass types it.
    if (!sent.typed) {
      if (a.held != sent.why)
        Log::note("renaming " + sid + " in " + term->tty + " waits: " + sent.why);
      a.held = sent.why;
      continue;
    }
    a.held.clear();
    ++a.typed;
  }
}

}  // namespace Names
