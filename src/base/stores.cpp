#include "base/stores.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

#include "base/files.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/text.h"

namespace Stores {
namespace {

// A holder keeps the lock for one read and one write, a few milliseconds; one that keeps
// it far longer is stopped or hung, and waiting on it for ever would lose the change.
constexpr auto kLockPatience = std::chrono::seconds(10);
constexpr auto kLockPoll = std::chrono::milliseconds(5);

int64_t nanos(const struct timespec& ts) {
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

Stamp stampOf(const struct stat& st) {
  return Stamp{st.st_dev, st.st_ino, static_cast<int64_t>(st.st_size), nanos(st.st_mtim),
               nanos(st.st_ctim)};
}

// The flock on the store's lock file, released when it goes. The lock file is never
// replaced, unlike the store, so every writer locks the same inode; one removed or replaced
// while a writer waits is locked again by its new name.
class Held {
 public:
  explicit Held(const std::string& store) {
    const std::string path = store + ".lock";
    const auto until = std::chrono::steady_clock::now() + kLockPatience;
    while (true) {
      fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
      if (fd < 0) {
        unlocked(path, Text::systemError(errno));
        return;
      }
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        struct stat held {}, named {};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
          return;
        release();  // the name now points elsewhere: lock what it points at
        continue;
      }
      int error = errno;
      release();
      if (error != EWOULDBLOCK && error != EINTR) {
        // A file system without locks (some network homes): the change still goes in.
        unlocked(path, Text::systemError(error));
        return;
      }
      if (std::chrono::steady_clock::now() > until) {
        unlocked(path, Lang::pick("held by another process for too long",
                                  "תהליך אחר מחזיק בו זמן רב מדי"));
        return;
      }
      std::this_thread::sleep_for(kLockPoll);
    }
  }
  ~Held() { release(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  void release() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  static void unlocked(const std::string& path, const std::string& why) {
    Log::note(Lang::pick("writing without the lock ", "כותב בלי הנעילה ") + path + ": " + why);
  }
  int fd = -1;
};

std::string folderOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Moves a store that cannot be read out of the way, so starting afresh loses nothing.
bool keepAside(const std::string& path) {
  char when[32];
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  std::strftime(when, sizeof when, "%Y%m%d-%H%M%S", &parts);
  std::string aside = path + ".unreadable-" + when;
  if (::rename(path.c_str(), aside.c_str()) != 0) {
    Log::note(Lang::pick("cannot read or move aside ", "לא ניתן לקרוא או להעביר הצידה את ") +
              path + ": " + Text::systemError(errno));
    return false;
  }
  Log::note(Lang::pick("unreadable store kept as ", "מאגר שלא נקרא נשמר בשם ") + aside);
  return true;
}

std::optional<nlohmann::json> parsedObject(const std::string& text) {
  auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  return json;
}

}  // namespace

std::optional<Stamp> stamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return stampOf(st);
}

nlohmann::json read(const std::string& path) {
  if (auto text = Files::read(path, Files::kStoreBytes))
    if (auto json = parsedObject(*text)) return *json;
  return nlohmann::json::object();
}

bool update(const std::string& path, const std::function<bool(nlohmann::json&)>& change,
            mode_t mode) {
  const std::string folder = folderOf(path);
  Files::makeDirectories(folder, 0700);
  Held held(path);
  nlohmann::json store = nlohmann::json::object();
  if (auto attrs = Files::attributes(path)) {
    if (!attrs->regular) return false;  // Files::read has said why
    std::optional<nlohmann::json> parsed;
    if (auto text = Files::read(path, Files::kStoreBytes)) parsed = parsedObject(*text);
    if (parsed)
      store = std::move(*parsed);
    else if (Files::exists(path) && !keepAside(path))
      return false;
  }
  if (!change(store)) return false;
  return Files::writeAtomic(
      path, store.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", mode);
}

Kept::Kept(std::string name) {
  enrolled.emplace(
      std::move(name), [this] { forget(); }, [this] { return held(); });
}

size_t Kept::held() {
  std::lock_guard<std::mutex> guard(lock);
  return value ? 1 : 0;
}

std::shared_ptr<const nlohmann::json> Kept::get(const std::string& wanted) {
  auto now = stamp(wanted);
  {
    std::lock_guard<std::mutex> guard(lock);
    if (value && path == wanted && seen == now) return value;
  }
  // Read outside the lock: a refused file is logged in the interface language, and working
  // that out may read a store kept here.
  auto fresh = std::make_shared<const nlohmann::json>(read(wanted));
  std::lock_guard<std::mutex> guard(lock);
  path = wanted;
  seen = now;
  value = fresh;
  return fresh;
}

void Kept::forget() {
  std::lock_guard<std::mutex> guard(lock);
  seen.reset();
  value.reset();
}

}  // namespace Stores
