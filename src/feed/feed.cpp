// The feed's serial queue: pokes from any thread coalesce into one pass 0.3 s later, and
// a pass writes the state file only when what it shows has changed.

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "base/caches.h"
#include "base/timefmt.h"
#include "feed/feed_hooks.h"
#include "feed/state_feed.h"
#include "terminals/discover.h"

namespace StateFeed {
namespace {

constexpr double kCoalesceSeconds = 0.3;

std::mutex hookLock;  // guards the hooks below
Tick tick;
std::function<std::string()> authorization;
After after;

// Touched only on the feed's queue.
bool scheduled = false;
std::string lastSignature;
std::string lastText;

std::atomic<uint64_t> passCount{0};
// A pass may itself discover the terminals, and every discovery pokes; those pokes would
// schedule pass after pass while nothing changes, so the feed's own thread does not poke.
thread_local bool inPass = false;

// Never destroyed: timer threads may still hand it work while the process exits.
SerialQueue& queue() {
  static auto* q = new SerialQueue("velmo.feed");
  return *q;
}

void afterOnTimer(double seconds, Job job) {
  std::thread([seconds, job = std::move(job)]() mutable {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    queue().async(std::move(job));
  }).detach();
}

std::vector<Terminal> terminals() {
  auto terms = Terminals::cached();
  return terms.empty() ? Terminals::open() : terms;
}

void writeIfChanged() {
  inPass = true;
  ++passCount;
  Tick t;
  {
    std::lock_guard<std::mutex> guard(hookLock);
    t = tick;
  }
  auto scan = Terminals::lastPickers();
  if (scan.readable && t) t(terminals(), scan.list);

  std::string signature = cheapSignature();
  if (signature != lastSignature) {
    lastSignature = signature;
    nlohmann::json snap = snapshot(false);
    snap.erase("updatedAt");
    std::string text = snap.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text != lastText) {
      snap["updatedAt"] = TimeText::iso8601(Clock::now());
      std::string pretty = snap.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
      // A failed write is tried again at the next poke rather than taken as written.
      if (writePrivate(pretty + "\n", stateFile()))
        lastText = text;
      else
        lastSignature.clear();
    }
  }
  inPass = false;
}

}  // namespace

std::string authorizationText() {
  std::function<std::string()> f;
  {
    std::lock_guard<std::mutex> guard(hookLock);
    f = authorization;
  }
  return f ? f() : "unknown";
}

void poke() {
  if (inPass) return;
  queue().async([] {
    if (scheduled) return;
    scheduled = true;
    After a;
    {
      std::lock_guard<std::mutex> guard(hookLock);
      a = after;
    }
    Job pass = [] {
      scheduled = false;
      writeIfChanged();
    };
    if (a)
      a(kCoalesceSeconds, std::move(pass));
    else
      afterOnTimer(kCoalesceSeconds, std::move(pass));
  });
}

void onQueue(Job work) {
  queue().async(std::move(work));
}

void setTick(Tick t) {
  std::lock_guard<std::mutex> guard(hookLock);
  tick = std::move(t);
}

void setAuthorization(std::function<std::string()> status) {
  std::lock_guard<std::mutex> guard(hookLock);
  authorization = std::move(status);
}

void installAfter(After a) {
  std::lock_guard<std::mutex> guard(hookLock);
  after = std::move(a);
}

void drain() {
  queue().drain();
}

uint64_t passes() {
  return passCount.load();
}

namespace {
const Caches::Enrolled enrolled(
    "state feed",
    [] {
      queue().sync([] {
        scheduled = false;
        lastSignature.clear();
        lastText.clear();
      });
      passCount = 0;
    },
    [] {
      size_t held = passCount.load() > 0 ? 1 : 0;
      queue().sync([&] { held += lastSignature.empty() && lastText.empty() ? 0 : 1; });
      return held;
    });
}  // namespace

}  // namespace StateFeed

namespace UserNames {
namespace {
std::mutex lock;
std::function<std::map<std::string, std::string>()> source;
}  // namespace

std::map<std::string, std::string> all() {
  std::function<std::map<std::string, std::string>()> f;
  {
    std::lock_guard<std::mutex> guard(lock);
    f = source;
  }
  return f ? f() : std::map<std::string, std::string>{};
}

std::string of(const std::string& sessionID) {
  if (sessionID.empty()) return "";
  auto names = all();
  auto it = names.find(sessionID);
  return it == names.end() ? "" : it->second;
}

void install(std::function<std::map<std::string, std::string>()> s) {
  std::lock_guard<std::mutex> guard(lock);
  source = std::move(s);
}

}  // namespace UserNames
