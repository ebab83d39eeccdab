#include "library/documents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

#include "base/base64.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "library/desktop.h"

namespace Documents {
namespace {

constexpr int64_t kEditBytes = 2'000'000;
// The copy kept before a save: the file as it is on disk, which may have grown past what
// the editor opens since it was opened.
constexpr int64_t kBackupBytes = int64_t{256} * 1024 * 1024;

const std::set<std::string> kImageKinds = {"png", "jpg", "jpeg", "gif", "webp", "svg", "heic", "bmp"};
const std::set<std::string> kTextKinds = {"md",  "txt", "csv", "json", "swift", "py",  "sh",
                                          "js",  "css", "html", "yml", "yaml", "log", "applescript"};

std::string systemError(int error) {
  return error ? Text::systemError(error) : Lang::pick("unknown error", "שגיאה לא ידועה");
}

// Where a save lands: through a symbolic link to the file it names, so the link stays a
// link instead of being replaced by a copy.
std::string target(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return path;
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0644;
  return st.st_mode & 07777;
}

// The new backup replaces the old one in a single rename, so a save cut short at any moment
// leaves one whole backup. Only when no copy can be made does the old one go: it would pass
// for the content before this save.
void keepBackup(const std::string& file, mode_t mode) {
  std::string backup = file + ".gib";
  auto bytes = Files::read(file, kBackupBytes);
  if (!bytes || !Files::writeAtomic(backup, *bytes, mode)) ::unlink(backup.c_str());
}

bool isSeparator(char c) {
  static constexpr std::string_view kSeparators = " \n\t\"'`()[]{}<>,;";
  return kSeparators.find(c) != std::string_view::npos;
}

// Writes without ever replacing an existing file: the bytes go to a temporary file that is
// then linked under the final name, which fails when that name is taken.
enum class Placed { ok, taken, failed };
Placed placeNew(const std::string& path, const std::string& bytes) {
  static std::atomic<unsigned> counter{0};
  std::string temp = path + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  if (!Files::writeAtomic(temp, bytes, 0600)) return Placed::failed;
  int rc = ::link(temp.c_str(), path.c_str());
  int error = errno;
  ::unlink(temp.c_str());
  if (rc == 0) return Placed::ok;
  return error == EEXIST ? Placed::taken : Placed::failed;
}

bool absoluteExisting(const std::string& path) { return !path.empty() && path[0] == '/' && Files::exists(path); }

}  // namespace

std::string expand(const std::string& path) {
  // "~name" is another user's home; only the bare "~" and "~/…" mean this user's.
  if (path == "~" || Text::startsWith(path, "~/")) return Paths::home() + path.substr(1);
  return path;
}

std::string kind(const std::string& path) {
  std::string ext = Text::lower(Files::extension(path));
  if (ext == "md" || ext == "markdown") return "md";
  if (ext == "pdf") return "pdf";
  if (kImageKinds.count(ext)) return "image";
  if (kTextKinds.count(ext)) return "text";
  return "other";
}

Document read(const std::string& path) {
  std::string file = expand(path);
  if (!Files::exists(file)) return {"", Lang::pick("File not found", "הקובץ לא נמצא")};
  auto a = Files::attributes(file);
  if (a && a->size > kEditBytes)
    return {"", Lang::pick("File too large to open here", "הקובץ גדול מדי לפתיחה כאן")};
  // A pipe or a device would block the reading thread or never end.
  if (!a || !a->regular) return {"", Lang::pick("No read permission", "אין הרשאת קריאה")};
  auto bytes = Files::read(file, kEditBytes);
  if (!bytes) return {"", Lang::pick("No read permission", "אין הרשאת קריאה")};
  return {Text::validUtf8(*bytes), ""};
}

std::string write(const std::string& path, const std::string& text) {
  std::string file = expand(path);
  if (!Files::exists(file))
    return Lang::pick("File not found — Velmo only saves over a file that exists",
                      "הקובץ לא נמצא — ולמו שומר רק על קובץ קיים");
  file = target(file);
  // Renaming over a pipe or a device would replace it with a plain file.
  if (auto a = Files::attributes(file); a && !a->regular)
    return Lang::pick("Save failed: ", "השמירה נכשלה: ") +
           systemError(a->directory ? EISDIR : EINVAL);
  // The saved file keeps its permissions; a private note must not become world-readable.
  mode_t mode = modeOf(file);
  keepBackup(file, mode);
  errno = 0;
  if (!Files::writeAtomic(file, text, mode))
    return Lang::pick("Save failed: ", "השמירה נכשלה: ") + systemError(errno);
  return "";
}

std::vector<std::string> paths(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isSeparator(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && !isSeparator(text[i])) ++i;
    std::string token = text.substr(start, i - start);
    while (!token.empty() && std::string_view(".:!?").find(token.back()) != std::string_view::npos)
      token.pop_back();
    if (token.empty()) continue;
    if (token[0] != '/' && !Text::startsWith(token, "~/")) continue;
    if (kind(token) == "other") continue;
    if (!Files::exists(expand(token))) continue;
    if (std::find(out.begin(), out.end(), token) == out.end()) out.push_back(token);
  }
  return out;
}

nlohmann::json saveAsset(const std::string& path, const std::string& text) {
  std::string error = write(path, text);
  nlohmann::json out = asset(path);
  if (error.empty()) {
    out["note"] = Lang::pick("saved ", "נשמר ") + TimeText::hoursMinutes(Clock::now());
  } else {
    out["note"] = error;
    out["warn"] = true;
  }
  return out;
}

std::string stashName(const std::string& given, double when) {
  std::string name = Text::lastComponent(given);
  std::string kept;
  for (char c : name)
    if (c != '/' && c != '\\' && c != '"' && c != '\0') kept += c;
  // Trimmed before spaces become hyphens, so a name of blanks alone counts as no name.
  std::string cleaned = Text::replaceAll(Text::trim(kept), " ", "-");
  if (cleaned.empty()) cleaned = Lang::pick("file", "קובץ");
  time_t secs = static_cast<time_t>(when);
  struct tm tm {};
  localtime_r(&secs, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  return std::string(stamp) + "-" + cleaned;
}

std::string stash(const std::string& base64, const std::string& name) {
  auto bytes = Base64::decode(base64);
  if (!bytes) return "";
  std::string folder = Paths::agent("velmo-drops");
  Files::makeDirectories(folder, 0700);
  std::string file = stashName(name, Clock::now());
  // Two files pasted under one name within the same second must both survive, so a taken
  // name gets a counter before its extension instead of being overwritten.
  std::string ext = Files::extension(file);
  std::string stem = ext.empty() ? file : file.substr(0, file.size() - ext.size() - 1);
  for (int n = 1; n < 1000; ++n) {
    std::string candidate = n == 1 ? file : stem + "-" + std::to_string(n) + (ext.empty() ? "" : "." + ext);
    std::string path = Files::join(folder, candidate);
    switch (placeNew(path, *bytes)) {
      case Placed::ok: return path;
      case Placed::failed: return "";
      case Placed::taken: break;
    }
  }
  return "";
}

bool showInFinder(const std::string& path) {
  std::string file = expand(path);
  if (!absoluteExisting(file)) return false;
  return Desktop::current()->reveal(file);
}

bool reveal(const std::string& path) {
  std::string file = expand(path);
  if (!absoluteExisting(file)) return false;
  return Desktop::current()->open(file);
}

bool openURL(const std::string& url) {
  // Only addresses a person means to visit: the page shows text the agent wrote, and an
  // arbitrary scheme could start any registered handler.
  size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string scheme = Text::lower(url.substr(0, colon));
  if (scheme != "http" && scheme != "https" && scheme != "mailto") return false;
  if (url.size() == colon + 1) return false;
  for (unsigned char c : url)
    if (c <= ' ' || c == 0x7F) return false;
  return Desktop::current()->open(url);
}

}  // namespace Documents
