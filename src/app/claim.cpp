#include "app/claim.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/files.h"
#include "base/json_field.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/timefmt.h"

namespace {
constexpr int64_t kHolderBytes = 4096;
}

Claim::Claim(std::string l, std::string g)
    : path(std::move(l)), logFile(std::move(g)), started(TimeText::iso8601(Clock::now())) {}

Claim::~Claim() {
  std::lock_guard<std::mutex> guard(lock);
  if (!wearing) return;
  holding = false;
  journal("gave up: quitting");
  badge = {};
  file.reset();
}

std::string Claim::defaultPath() {
  return Files::join(Paths::stateDir(), "owner-" + Paths::host() + ".lock");
}

std::string Claim::logPath() {
  return Files::join(Paths::stateDir(), "owner-" + Paths::host() + ".log");
}

void Claim::wear(Badge b) {
  std::lock_guard<std::mutex> guard(lock);
  badge = std::move(b);
}

std::optional<Claim::Holder> Claim::holderIn(const std::string& text) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  auto pid = j.find("pid");
  if (pid == j.end() || !pid->is_number_integer() || pid->get<int64_t>() <= 0) return std::nullopt;
  Holder h;
  h.pid = pid->get<int64_t>();
  h.host = JsonField::text(j, "host");
  h.started = JsonField::text(j, "started");
  return h;
}

void Claim::journal(const std::string& what) const {
  Log::line(logFile, what + " " + Paths::host() + " " + std::to_string(::getpid()));
}

bool Claim::sure() {
  std::lock_guard<std::mutex> guard(lock);
  if (!holding.load()) return false;
  if (file && file->namedBy(path)) return true;
  holding = false;
  return false;
}

void Claim::letGo(const std::string& why) {
  // Stop first, say so, take the badge off, and only then let go of the lock: whoever
  // comes next finds the lock or the badge still there until this Velmo has stopped.
  holding = false;
  wearing = false;
  journal("gave up: " + why);
  Log::note(Lang::pick("this Velmo gave up the terminals: ", "ולמו זה ויתר על המסופים: ") + why);
  if (badge.down) badge.down();
  file.reset();
}

void Claim::own(State& status) {
  journal("took");
  wearing = true;
  holding = true;
  nlohmann::json me = {{"pid", static_cast<int64_t>(::getpid())},
                       {"host", Paths::host()},
                       {"started", started}};
  file->rewrite(me.dump() + "\n");
  if (badge.up) badge.up();
  status.standing = Standing::owner;
  status.fresh = true;
  lastFault.clear();
}

Claim::State Claim::notOwner(Standing standing, std::string why) {
  State s;
  s.standing = standing;
  s.why = std::move(why);
  if (auto text = Files::read(path, kHolderBytes)) s.holder = holderIn(*text);
  s.answers = badge.heard && badge.heard();
  return s;
}

Claim::State Claim::take() {
  std::lock_guard<std::mutex> guard(lock);
  if (file && (!file->namedBy(path) || (wearing && !holding.load()))) {
    if (wearing)
      letGo(Lang::pick("the lock file was removed or replaced", "קובץ הנעילה נמחק או הוחלף"));
    else
      file.reset();
  }
  if (file && wearing) {
    if (badge.up) badge.up();
    State s;
    s.standing = Standing::owner;
    return s;
  }
  if (!file) {
    auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
      Files::makeDirectories(path.substr(0, slash), 0700);
    FileLock::Attempt tried = FileLock::take(path);
    if (!tried.lock) {
      if (tried.fault == FileLock::Fault::held) {
        lastFault.clear();
        return notOwner(Standing::viewer, "");
      }
      std::string why = tried.why(path);
      if (why != lastFault) {
        lastFault = why;
        journal("cannot take: " + why);
        Log::note(Lang::pick("this Velmo cannot take the terminals and only watches: ",
                             "ולמו זה לא יכול לקחת את המסופים ורק צופה: ") +
                  why);
      }
      return notOwner(Standing::failed, why);
    }
    file = std::move(tried.lock);
  }
  // The lock is ours; the Velmo before us may still be acting on a lock file that was
  // removed under it. It stops answering before it lets go.
  if (badge.heard && badge.heard()) return notOwner(Standing::waiting, "");
  State s;
  own(s);
  return s;
}
