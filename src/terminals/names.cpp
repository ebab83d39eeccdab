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
#include "base/json_field.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/stores.h"
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

// Guards the typed-attempt counts.
std::mutex lock;
// sid → the name typed for it and how many times; reset when a different name is wanted.
struct Attempts {
  std::string wanted;
  int typed = 0;
  std::string held;  ///< why the last try typed nothing, logged once per reason
};
std::map<std::string, Attempts> attempts;

// The names file as last read, read again when another writer changed it.
Stores::Kept keptNames;

const Caches::Enrolled enrolled(
    "names",
    [] {
      keptNames.forget();
      std::lock_guard<std::mutex> guard(lock);
      attempts.clear();
    },
    [] {
      std::lock_guard<std::mutex> guard(lock);
      return keptNames.held() + attempts.size();
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

// Entries that are not text count as absent.
std::map<std::string, std::string> textEntries(const nlohmann::json& json) {
  std::map<std::string, std::string> out;
  for (const auto& [sid, value] : json.items())
    if (value.is_string()) out[sid] = value.get<std::string>();
  return out;
}

// One sid's entry of a store, changed in the file as it is on disk now: every other
// entry, whoever wrote it, stays. An empty value removes it.
void put(const std::string& path, const std::string& sid, const std::string& value) {
  Stores::update(path, [&](nlohmann::json& store) {
    if (value.empty()) return store.erase(sid) > 0;
    if (store.value(sid, nlohmann::json()) == value) return false;
    store[sid] = value;
    return true;
  });
}

// The rename of `sid` to `wanted` reached the agent or the transcript. A different name
// asked for meanwhile (in this Velmo or another) is still to be carried, so it stays.
void done(const std::string& sid, const std::string& wanted) {
  Stores::update(renamesFile(), [&](nlohmann::json& store) {
    auto it = store.find(sid);
    if (it == store.end() || *it != wanted) return false;
    store.erase(it);
    return true;
  });
  std::lock_guard<std::mutex> guard(lock);
  if (auto it = attempts.find(sid); it != attempts.end() && it->second.wanted == wanted)
    attempts.erase(it);
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
  return textEntries(*keptNames.get(namesFile()));
}

std::string name(const std::string& sid) {
  if (sid.empty()) return "";
  return JsonField::text(*keptNames.get(namesFile()), sid.c_str());
}

void set(const std::string& newName, const std::string& sid) {
  if (sid.empty()) return;
  put(namesFile(), sid, cut(newName));
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
  put(renamesFile(), sid, wanted);
  std::lock_guard<std::mutex> guard(lock);
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
  return textEntries(Stores::read(renamesFile()));
}

void tick(const std::optional<std::vector<Terminal>>& listed) {
  // Without a process list nothing is known to have closed: writing every waiting rename
  // into its transcript now would end renames whose agents still run.
  if (!listed) return;
  const std::vector<Terminal>& terminals = *listed;
  for (const auto& [sid, wanted] : waiting()) {
    auto term = std::find_if(terminals.begin(), terminals.end(),
                             [&, &sid = sid](const Terminal& t) { return t.sessionID == sid; });
    if (term == terminals.end()) {
      // Closed meanwhile: the transcript carries the name to the next resume.
      setReal(wanted, sid);
      done(sid, wanted);
      continue;
    }
    if (Terminals::status(term->pid) != "idle") continue;
    // The agent may have taken the last /rename after that pass looked.
    if (Terminals::registryField(term->pid, "name") == wanted) {
      done(sid, wanted);
      continue;
    }
    bool spent = false;
    {
      std::lock_guard<std::mutex> guard(lock);
      Attempts& a = attempts[sid];
      if (a.wanted != wanted) a = {wanted, 0, ""};
      spent = a.typed >= kTypedAttempts;
    }
    if (spent) {
      done(sid, wanted);
      Log::note("the agent in " + term->tty + " never took the name \"" + wanted + "\" after " +
                std::to_string(kTypedAttempts) + " tries; no longer renaming " + sid);
      continue;
    }
    Terminals::Sent sent = Terminals::send("/rename " + wanted, term->tty, terminals);
    if (Terminals::registryField(term->pid, "name") == wanted) {
      done(sid, wanted);
      continue;
    }
    std::lock_guard<std::mutex> guard(lock);
    Attempts& a = attempts[sid];
    if (a.wanted != wanted) continue;
    // Not taken (held back before typing by a prompt, a person's unsent words or a screen
    // that cannot be read; or typed and left in the input row): not a try, a later calm
    // pass sends it again.
    if (!sent.ok) {
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
