#include <mutex>
#include <string>
#include <unordered_map>

#include "base/caches.h"
#include "base/files.h"
#include "base/paths.h"
#include "sessions/state.h"

namespace Sessions {

namespace {

std::mutex lock;                                       // never held while a folder is listed
std::unordered_map<std::string, std::string> located;  // session id → transcript path

const Caches::Enrolled enrolled = Caches::guarded("located transcripts", lock, located);

}  // namespace

std::optional<std::string> transcriptURL(const std::string& sessionID) {
  // Ids reach here from the page and the control socket too; one that is not a plain file
  // name must not lead the search out of the projects folder.
  if (sessionID.empty() || sessionID.find_first_of(std::string("/\0", 2)) != std::string::npos)
    return std::nullopt;
  std::optional<std::string> known;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (auto it = located.find(sessionID); it != located.end()) known = it->second;
  }
  // A remembered file that vanished is searched for again and the memo overwritten.
  if (known && Files::exists(*known)) return known;
  auto entries = Files::list(Paths::agent("projects"));
  if (!entries) return std::nullopt;
  const std::string file = sessionID + ".jsonl";
  for (const Files::Entry& entry : *entries) {
    std::string path = Files::join(entry.path, file);
    if (!Files::exists(path)) continue;
    std::lock_guard<std::mutex> guard(lock);
    located[sessionID] = path;
    return path;
  }
  return std::nullopt;
}

}  // namespace Sessions
