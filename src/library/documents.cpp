#include "library/documents.h"

#include <fcntl.h>
#include <signal.h>
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
#include "base/sha256.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "library/desktop.h"

namespace Documents {
namespace {

constexpr int64_t kEditBytes = 2'000'000;
// The most a save without an earlier reading replaces: it keeps the whole file as the
// backup first, and a file it cannot keep is not saved over.
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

int64_t nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::string hexHash(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : Sha256::digest(bytes)) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

Version versionOf(std::string_view bytes, const struct stat& st) {
  return {static_cast<int64_t>(st.st_size), nanoseconds(st.st_mtim), hexHash(bytes)};
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         nanoseconds(a.st_mtim) == nanoseconds(b.st_mtim);
}

// One reading of a regular file of at most `cap` bytes. Whole when nothing was cut off and
// the file kept its size and time from the first byte read to the last.
struct Reading {
  std::string bytes;
  struct stat st {};
  int error = 0;  ///< errno of a failed open or read; EINVAL for anything but a regular file
  bool tooLarge = false;
  bool whole = false;
};

Reading readWhole(const std::string& file, int64_t cap) {
  Reading r;
  // Without blocking: a FIFO by this name must not hold the reading thread.
  int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    r.error = errno;
    return r;
  }
  struct stat before {};
  if (::fstat(fd, &before) != 0)
    r.error = errno;
  else if (!S_ISREG(before.st_mode))
    r.error = S_ISDIR(before.st_mode) ? EISDIR : EINVAL;
  if (r.error) {
    ::close(fd);
    return r;
  }
  r.st = before;
  if (before.st_size > cap) {
    r.tooLarge = true;
    ::close(fd);
    return r;
  }
  r.bytes.reserve(static_cast<size_t>(before.st_size));
  char buffer[65536];
  while (true) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      r.error = errno;
      break;
    }
    if (got == 0) break;
    r.bytes.append(buffer, static_cast<size_t>(got));
    if (static_cast<int64_t>(r.bytes.size()) > cap) {
      r.tooLarge = true;
      break;
    }
  }
  struct stat after {};
  bool stable = ::fstat(fd, &after) == 0 && sameFile(before, after);
  ::close(fd);
  r.whole = r.error == 0 && !r.tooLarge && stable &&
            static_cast<int64_t>(r.bytes.size()) == static_cast<int64_t>(after.st_size);
  return r;
}

std::string folderOf(const std::string& file) {
  size_t slash = file.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

std::string saveFailed(const std::string& why) {
  return Lang::pick("Save failed: ", "השמירה נכשלה: ") + why;
}

std::string changedSinceOpened() {
  return Lang::pick(
      "The file changed on disk since it was opened, so it was not saved. Copy your text and "
      "open the file again",
      "הקובץ השתנה בדיסק מאז שנפתח, ולכן לא נשמר. יש להעתיק את הטקסט ולפתוח את הקובץ שוב");
}

// Why the user may not have the file replaced ("" when they may). Root passes every
// permission check, so a file without any write bit is refused to everyone; a file of
// another user would become ours by the rename, so only root (who gives it back to its
// owner) replaces it.
std::string refusal(const std::string& file, const struct stat& st) {
  if ((st.st_mode & 0222) == 0)
    return Lang::pick("The file is read-only, so Velmo does not save over it",
                      "הקובץ לקריאה בלבד, ולכן ולמו לא שומר עליו");
  uid_t me = ::geteuid();
  if (me != 0 && st.st_uid != me)
    return Lang::pick("The file belongs to another user, so Velmo does not replace it",
                      "הקובץ שייך למשתמש אחר, ולכן ולמו לא מחליף אותו");
  if (::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0)
    return Lang::pick("No write permission", "אין הרשאת כתיבה");
  // The new text and the backup are put in place by renames inside the file's folder.
  if (::faccessat(AT_FDCWD, folderOf(file).c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    return Lang::pick("No permission to write in the file's folder",
                      "אין הרשאת כתיבה בתיקייה של הקובץ");
  return "";
}

void syncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Removes the temporary files of saves of `dest` whose process was killed mid-way.
void sweepLeftovers(const std::string& dest) {
  const std::string prefix = Text::lastComponent(dest) + ".tmp-";
  for (const auto& e : Files::list(folderOf(dest)).value_or(std::vector<Files::Entry>{})) {
    if (!Text::startsWith(e.name, prefix)) continue;
    std::string rest = e.name.substr(prefix.size());
    long long pid = 0;
    if (!Text::parseInt(rest.substr(0, rest.find('-')), pid) || pid <= 0 || pid == ::getpid())
      continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) ::unlink(e.path.c_str());
  }
}

// Puts `bytes` in the place of `dest` in one rename, the new file taking the mode, owner
// and group of `like`: a private note stays private, a file shared with a group stays
// shared with that group only. With `expect`, the rename happens only while `dest` is
// still that file. Why it failed ("" on success), with `changed` set when `dest` was no
// longer `expect`; `written` gets the new file's status.
std::string replaceWith(const std::string& dest, std::string_view bytes, const struct stat& like,
                        const struct stat* expect, bool* changed, struct stat* written) {
  static std::atomic<unsigned> counter{0};
  std::string temp = dest + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return systemError(errno);
  auto fail = [&](const std::string& why) {
    ::close(fd);
    ::unlink(temp.c_str());
    return why;
  };
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(systemError(errno));
    done += static_cast<size_t>(n);
  }
  struct stat mine {};
  if (::fstat(fd, &mine) != 0) return fail(systemError(errno));
  if (mine.st_uid != like.st_uid || mine.st_gid != like.st_gid) {
    uid_t owner = mine.st_uid == like.st_uid ? static_cast<uid_t>(-1) : like.st_uid;
    gid_t group = mine.st_gid == like.st_gid ? static_cast<gid_t>(-1) : like.st_gid;
    if (::fchown(fd, owner, group) != 0)
      return fail(Lang::pick("the file's owner and group could not be kept",
                             "לא ניתן לשמור על הבעלים והקבוצה של הקובץ"));
  }
  // After the owner: changing it clears the set-id bits.
  if (::fchmod(fd, like.st_mode & 07777) != 0 || ::fsync(fd) != 0 || ::fstat(fd, &mine) != 0)
    return fail(systemError(errno));
  if (::close(fd) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    return systemError(error);
  }
  struct stat now {};
  if (expect && (::stat(dest.c_str(), &now) != 0 || !sameFile(now, *expect))) {
    ::unlink(temp.c_str());
    *changed = true;
    return changedSinceOpened();
  }
  if (::rename(temp.c_str(), dest.c_str()) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    return systemError(error);
  }
  syncFolder(folderOf(dest));
  sweepLeftovers(dest);
  if (written) *written = mine;
  return "";
}

// Replaces the file just read as `now` with `text`: refused when the user may not, and
// when its backup cannot be kept first.
Saved replaceRead(const std::string& file, const std::string& text, const Reading& now) {
  if (std::string why = refusal(file, now.st); !why.empty()) return {why, {}};
  // The new backup replaces the old one in a single rename, so a save cut short at any
  // moment leaves one whole backup.
  bool changed = false;
  if (std::string failed =
          replaceWith(file + ".gib", now.bytes, now.st, nullptr, &changed, nullptr);
      !failed.empty())
    return {Lang::pick("No backup could be kept, so the file was not saved: ",
                       "לא ניתן היה לשמור גיבוי, ולכן הקובץ לא נשמר: ") +
                failed,
            {}};
  struct stat written {};
  if (std::string failed = replaceWith(file, text, now.st, &now.st, &changed, &written);
      !failed.empty())
    return {changed ? failed : saveFailed(failed), {}};
  return {"", versionOf(text, written)};
}

std::string readFailure(const Reading& r) {
  if (r.error == ENOENT) return Lang::pick("File not found", "הקובץ לא נמצא");
  return Lang::pick("No read permission", "אין הרשאת קריאה");
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

std::string Version::text() const {
  if (!known()) return "";
  return std::to_string(size) + ":" + std::to_string(modified) + ":" + hash;
}

Version Version::parse(const std::string& text) {
  auto pieces = Text::split(text, ':', false);
  long long size = 0, modified = 0;
  if (pieces.size() != 3 || !Text::parseInt(pieces[0], size) || size < 0 ||
      !Text::parseInt(pieces[1], modified) || pieces[2].size() != 64)
    return {};
  return {size, modified, pieces[2]};
}

namespace {

std::string notUtf8() {
  return Lang::pick(
      "The file is not valid UTF-8 text: it is shown repaired and cannot be edited here, so "
      "none of its bytes is lost",
      "הקובץ אינו טקסט UTF-8 תקין: הוא מוצג מתוקן ואי אפשר לערוך אותו כאן, כדי שאף בית שלו "
      "לא יאבד");
}

}  // namespace

Document read(const std::string& path) {
  std::string file = expand(path);
  if (!Files::exists(file)) return {"", Lang::pick("File not found", "הקובץ לא נמצא"), "", {}};
  // A file being written may change under the reading; a few tries catch it between writes.
  Reading r;
  for (int attempt = 0; attempt < 3; ++attempt) {
    r = readWhole(file, kEditBytes);
    if (r.error || r.tooLarge || r.whole) break;
  }
  if (r.tooLarge)
    return {"", Lang::pick("File too large to open here", "הקובץ גדול מדי לפתיחה כאן"), "", {}};
  // A pipe or a device would block the reading thread or never end.
  if (r.error) return {"", readFailure(r), "", {}};
  Document doc;
  doc.text = Text::validUtf8(r.bytes);
  if (!r.whole) {
    doc.locked = Lang::pick("The file kept changing while it was read; open it again to edit it",
                            "הקובץ השתנה בזמן הקריאה; יש לפתוח אותו שוב כדי לערוך אותו");
    return doc;
  }
  doc.version = versionOf(r.bytes, r.st);
  if (doc.text != r.bytes)
    doc.locked = notUtf8();
  else
    doc.locked = refusal(target(file), r.st);
  return doc;
}

namespace {

std::string notFoundForSave() {
  return Lang::pick("File not found — Velmo only saves over a file that exists",
                    "הקובץ לא נמצא — ולמו שומר רק על קובץ קיים");
}

// The file a save goes over, read again now; an error text when there is none to go over.
std::string readForSave(std::string& file, int64_t cap, Reading& now) {
  file = expand(file);
  if (!Files::exists(file)) return notFoundForSave();
  file = target(file);
  now = readWhole(file, cap);
  if (now.error == ENOENT) return notFoundForSave();
  // Renaming over a folder, a pipe or a device would replace it with a plain file.
  if (now.error) return saveFailed(systemError(now.error));
  return "";
}

}  // namespace

Saved save(const std::string& path, const std::string& text, const Version& loaded) {
  if (!Files::exists(expand(path))) return {notFoundForSave(), {}};
  if (!loaded.known())
    return {Lang::pick("The file was not read whole, so Velmo does not save over it",
                       "הקובץ לא נקרא במלואו, ולכן ולמו לא שומר עליו"),
            {}};
  std::string file = path;
  Reading now;
  if (std::string error = readForSave(file, kEditBytes, now); !error.empty()) return {error, {}};
  if (now.tooLarge || !now.whole || versionOf(now.bytes, now.st) != loaded)
    return {changedSinceOpened(), {}};
  // Such a file was only ever shown repaired: its text would replace bytes it never held.
  if (Text::validUtf8(now.bytes) != now.bytes) return {notUtf8(), {}};
  return replaceRead(file, text, now);
}

std::string write(const std::string& path, const std::string& text) {
  std::string file = path;
  Reading now;
  if (std::string error = readForSave(file, kBackupBytes, now); !error.empty()) return error;
  if (now.tooLarge)
    return Lang::pick("The file is too large to keep a backup of, so it was not saved",
                      "הקובץ גדול מדי לשמירת גיבוי שלו, ולכן לא נשמר");
  if (!now.whole)
    return Lang::pick("The file changed while it was being saved; it was left as it is",
                      "הקובץ השתנה בזמן השמירה; הוא נשאר כפי שהיה");
  return replaceRead(file, text, now).error;
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

nlohmann::json saveAsset(const std::string& path, const std::string& text,
                         const std::string& version) {
  std::string error = save(path, text, Version::parse(version)).error;
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
