#include "library/works.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <mutex>

#include "base/caches.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/text.h"

namespace Works {

namespace {

constexpr std::array<const char*, 11> kSkipDirs{".git",   "node_modules", "build",    "dist",
                                                "vendor", "__pycache__",  ".netlify", "backups",
                                                ".venv",  "Sources",      "worktrees"};

struct Kind {
  const char* ext;
  const char* english;
  const char* hebrew;
};
constexpr std::array<Kind, 24> kKinds{{
    {"md", "doc", "מסמך"},      {"txt", "doc", "מסמך"},     {"markdown", "doc", "מסמך"},
    {"html", "page", "עמוד"},   {"htm", "page", "עמוד"},    {"png", "image", "תמונה"},
    {"jpg", "image", "תמונה"},  {"jpeg", "image", "תמונה"}, {"gif", "image", "תמונה"},
    {"webp", "image", "תמונה"}, {"svg", "image", "תמונה"},  {"csv", "table", "טבלה"},
    {"tsv", "table", "טבלה"},   {"xlsx", "table", "טבלה"},  {"pdf", "paper", "נייר"},
    {"docx", "paper", "נייר"},  {"pages", "paper", "נייר"}, {"py", "code", "קוד"},
    {"js", "code", "קוד"},      {"swift", "code", "קוד"},   {"sh", "code", "קוד"},
    {"php", "code", "קוד"},     {"css", "code", "קוד"},     {"json", "code", "קוד"},
}};

std::mutex lock;
std::vector<Work> cache;
Clock::Time stamp = Clock::kDistantPast;
Caches::Enrolled enrolled(
    "work files",
    [] {
      std::lock_guard<std::mutex> guard(lock);
      cache.clear();
      stamp = Clock::kDistantPast;
    },
    [] {
      std::lock_guard<std::mutex> guard(lock);
      return cache.size();
    });

bool skipped(const std::string& name) {
  for (const char* s : kSkipDirs)
    if (name == s) return true;
  return false;
}

// The entry itself is looked at (lstat): a link to a folder is never entered, so a link to
// the home folder inside the work folder does not list the home folder. A link to a file
// is listed as the file.
void walk(const std::string& folder, const std::string& top, int depth, std::vector<Work>& out) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    names.push_back(std::move(name));
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    const std::string path = Files::join(folder, name);
    struct stat own {};
    if (::lstat(path.c_str(), &own) != 0) continue;
    if (S_ISDIR(own.st_mode)) {
      if (!skipped(name) && depth < kDepth) walk(path, top, depth + 1, out);
      continue;
    }
    struct stat st = own;
    if (S_ISLNK(own.st_mode) && ::stat(path.c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode)) continue;
    std::string word = kind(name);
    if (word.empty()) continue;
    Work w;
    w.path = path;
    w.name = name;
    w.kind = std::move(word);
    w.project = project(path, top);
    w.modified = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
    w.size = st.st_size;
    out.push_back(std::move(w));
  }
}

}  // namespace

std::string root() {
  return Paths::documents();
}

std::string kind(const std::string& path) {
  std::string ext = Text::lower(Files::extension(path));
  for (const Kind& k : kKinds)
    if (ext == k.ext) return Lang::pick(k.english, k.hebrew);
  return "";
}

std::string project(const std::string& path, const std::string& top) {
  auto slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
  if (!Text::startsWith(folder, top)) return "";
  std::string rest = folder.substr(top.size());
  if (!rest.empty() && rest[0] != '/') return "";  // a sibling such as "claude2"
  auto pieces = Text::split(rest, '/');
  if (pieces.empty()) return Lang::pick("root", "שורש");
  if (pieces[0] == Lang::pick("projects", "פרויקטים") && pieces.size() >= 2) return pieces[1];
  return pieces[0];
}

std::vector<Work> everything() {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (Clock::now() - stamp < kFreshSeconds) return cache;
  }
  std::vector<Work> out;
  const std::string top = root();
  walk(top, top, 0, out);
  std::stable_sort(out.begin(), out.end(),
                   [](const Work& a, const Work& b) { return a.modified > b.modified; });
  std::lock_guard<std::mutex> guard(lock);
  cache = out;
  stamp = Clock::now();
  return out;
}

}  // namespace Works
