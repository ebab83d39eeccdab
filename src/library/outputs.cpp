#include "library/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "base/caches.h"
#include "base/files.h"
#include "base/json_field.h"
#include "base/text.h"
#include "library/documents.h"
#include "sessions/state.h"

namespace Outputs {

namespace {

constexpr size_t kMostSessions = 60;
// One read at most this much; a larger backlog is taken over the next scans.
constexpr int64_t kMostRead = int64_t{32} * 1024 * 1024;

constexpr std::array<const char*, 4> kWriteTools{"Write", "NotebookEdit", "Edit", "MultiEdit"};
constexpr std::array<const char*, 28> kKept{
    "md",  "markdown", "txt", "html", "pdf",  "png",  "jpg",  "jpeg", "gif", "webp",
    "svg", "csv",      "tsv", "xlsx", "docx", "pptx", "json", "py",   "js",  "swift",
    "sh",  "css",      "php", "mp4",  "mov",  "yml",  "yaml", "log"};

struct Seen {
  int64_t offset = 0;
  std::vector<std::string> order;
  std::map<std::string, Clock::Time> first;
};

std::mutex lock;
std::unordered_map<std::string, Seen> memo;
Caches::Enrolled enrolled(
    "session outputs",
    [] {
      std::lock_guard<std::mutex> guard(lock);
      memo.clear();
    },
    [] {
      std::lock_guard<std::mutex> guard(lock);
      return memo.size();
    });

// The bytes from `offset` to the end of a regular file, or no value.
std::optional<std::string> readFrom(const std::string& path, int64_t offset, int64_t& size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  size = st.st_size;
  std::string out;
  if (size > offset) {
    out.resize(static_cast<size_t>(std::min(size - offset, kMostRead)));
    size_t got = 0;
    while (got < out.size()) {
      ssize_t n = ::pread(fd, out.data() + got, out.size() - got, offset + static_cast<off_t>(got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    out.resize(got);
  }
  ::close(fd);
  return out;
}

void note(Seen& seen, const std::string& path, Clock::Time at) {
  if (path.empty() || !kept(path) || seen.first.count(path)) return;
  seen.first[path] = at;
  seen.order.push_back(path);
}

void scanLine(Seen& seen, std::string_view line) {
  if (!Text::contains(line, "\"assistant\"")) return;
  auto record = nlohmann::json::parse(line, nullptr, false);
  if (!record.is_object() || JsonField::text(record, "type") != "assistant") return;
  if (auto side = record.find("isSidechain");
      side != record.end() && side->is_boolean() && side->get<bool>())
    return;
  Clock::Time at = Clock::now();
  if (auto ts = record.find("timestamp"); ts != record.end() && ts->is_string())
    if (auto t = Sessions::time(ts->get<std::string>())) at = *t;
  auto message = record.find("message");
  if (message == record.end() || !message->is_object()) return;
  auto content = message->find("content");
  if (content == message->end() || !content->is_array()) return;
  for (const auto& item : *content) {
    if (!item.is_object()) continue;
    std::string type = JsonField::text(item, "type");
    if (type == "tool_use") {
      std::string name = JsonField::text(item, "name");
      bool writes = false;
      for (const char* t : kWriteTools) writes = writes || name == t;
      auto input = item.find("input");
      if (!writes || input == item.end() || !input->is_object()) continue;
      std::string path = JsonField::text(*input, "file_path");
      if (path.empty()) path = JsonField::text(*input, "notebook_path");
      note(seen, path, at);
    } else if (type == "text") {
      for (const std::string& p : Documents::paths(JsonField::text(item, "text")))
        note(seen, Documents::expand(p), at);
    }
  }
}
}  // namespace

bool kept(const std::string& path) {
  std::string ext = Text::lower(Files::extension(path));
  bool listed = false;
  for (const char* k : kKept) listed = listed || ext == k;
  if (!listed) return false;
  if (Text::contains(path, "/scratchpad/")) return false;
  return !Text::startsWith(path, "/tmp/") && !Text::startsWith(path, "/private/tmp/");
}

std::vector<Output> of(const std::string& sessionID) {
  if (sessionID.empty()) return {};
  auto transcript = Sessions::transcriptURL(sessionID);
  if (!transcript) return {};
  Seen seen;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (auto it = memo.find(sessionID); it != memo.end()) seen = it->second;
  }
  int64_t size = 0;
  auto fresh = readFrom(*transcript, seen.offset, size);
  if (!fresh) return {};
  if (size < seen.offset) {
    seen = Seen{};  // replaced or shortened: start over
    fresh = readFrom(*transcript, 0, size);
    if (!fresh) return {};
  }
  // Only complete lines: the one being written is read once its line feed arrives.
  auto last = fresh->rfind('\n');
  if (last != std::string::npos) {
    std::string_view whole(fresh->data(), last + 1);
    size_t start = 0;
    while (start < whole.size()) {
      size_t end = whole.find('\n', start);
      if (end > start) scanLine(seen, whole.substr(start, end - start));
      start = end + 1;
    }
    seen.offset += static_cast<int64_t>(last + 1);
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    memo[sessionID] = seen;
    if (memo.size() > kMostSessions) memo.clear();
  }
  std::vector<Output> out;
  for (const std::string& p : seen.order) {
    auto attrs = Files::attributes(p);
    if (!attrs || !attrs->regular) continue;
    auto it = seen.first.find(p);
    out.push_back({p, it != seen.first.end() ? it->second : Clock::kDistantPast});
  }
  return out;
}

}  // namespace Outputs
