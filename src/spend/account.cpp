#include "spend/account.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "base/caches.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/log.h"
#include "base/text.h"
#include "spend/harvest.h"
#include "spend/keys.h"
#include "spend/logs.h"
#include "spend/rates.h"
#include "spend/store.h"

namespace Spend {

namespace {

// The store grows with the number of logs; far more than any store of settings.
constexpr int64_t kStoreCap = int64_t{1} << 30;
// How many of a log's last messages keep their counted usage in its mark: the records of
// one reply follow each other, so the last few are the only ones that may still grow.
constexpr size_t kRecentMessages = 4;
// Stretches read ahead of the one being merged; bounds what waits in memory.
constexpr size_t kAhead = 16;

void addInto(ModelMap& to, const ModelMap& from) {
  for (const auto& [model, c] : from) to[model] += c;
}

void takeFrom(ModelMap& from, const ModelMap& what) {
  for (const auto& [model, c] : what) {
    auto it = from.find(model);
    if (it == from.end()) continue;
    it->second -= c;
    if (it->second.zero()) from.erase(it);
  }
}

void takeFrom(KeyedMap& from, const KeyedMap& what) {
  for (const auto& [key, models] : what) {
    auto it = from.find(key);
    if (it == from.end()) continue;
    takeFrom(it->second, models);
    if (it->second.empty()) from.erase(it);
  }
}

void pruneKeys(KeyedMap& map, const std::string& cut) {
  map.erase(map.begin(), map.lower_bound(cut));
}

uint64_t freshGeneration() {
  std::random_device random;
  uint64_t g = (static_cast<uint64_t>(random()) << 32) ^ random();
  return g ? g : 1;
}

// Removes the ids files of other generations, once the store names the new one.
void dropOtherIds(uint64_t kept) {
  const std::string keep = idsPath(kept);
  for (const auto& e : Files::list(storeDir()).value_or(std::vector<Files::Entry>{})) {
    bool ids = e.path == legacyIdsPath() ||
               (Text::startsWith(e.name, "ids-") && Text::endsWith(e.name, ".bin"));
    if (ids && e.path != keep) ::unlink(e.path.c_str());
  }
}

}  // namespace

// One log to read in this refresh.
struct Job {
  const Log* log = nullptr;
  bool shrunk = false;
  bool stopped = false;  ///< a stretch ended inside an unfinished line: take nothing after it
  bool failed = false;   ///< the file could not be read: try again next time
  int64_t pos = 0;
  size_t stretchesLeft = 0;
};

struct Piece {
  size_t job = 0;
  Stretch stretch;
};

struct Account::Run {
  std::vector<Log> logs;
  std::vector<Job> jobs;
  std::vector<Piece> pieces;
  std::string hourCut, dayCut;
  KeyCache keys;
  bool changed = false;
  int64_t bytes = 0;
};

Account& account() {
  static Account* one = new Account();  // never destroyed: readers may run at exit
  return *one;
}

namespace {
const Caches::Enrolled enrolled(
    "spend account", [] { account().reset(); }, [] { return account().held(); });
}  // namespace

void Account::load() {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (loaded) return;
  }
  std::optional<Store> read;
  if (auto text = Files::read(storePath(), kStoreCap)) read = decodeStore(*text);
  std::lock_guard<std::mutex> guard(lock);
  if (loaded) return;
  if (read) store = std::move(*read);
  loaded = true;
}

bool Account::loadIds() {
  if (idsLoaded) return true;
  uint64_t generation;
  bool empty;
  {
    std::lock_guard<std::mutex> guard(lock);
    generation = store.idsGeneration;
    empty = store.marks.empty();
  }
  if (generation == 0 && empty) {
    ids.clear();
    idsLoaded = true;
    return true;
  }
  auto bytes = Files::read(idsPath(generation), kStoreCap);
  if (!bytes) bytes = Files::read(legacyIdsPath(), kStoreCap);
  auto decoded = bytes ? CountedIds::decode(*bytes, generation) : std::nullopt;
  if (!decoded) return false;
  ids = std::move(*decoded);
  idsLoaded = true;
  return true;
}

bool Account::refresh(bool force) {
  double now = Clock::now();
  {
    std::lock_guard<std::mutex> guard(lock);
    if (running) return false;
    if (!force && now - lastRefresh < kRefreshGate) return false;
    running = true;
    lastRefresh = now;
  }
  load();
  Run run;
  run.logs = finder.allLogs();
  pendingLogs = static_cast<int64_t>(run.logs.size());

  auto plan = [&] {
    run.jobs.clear();
    std::lock_guard<std::mutex> guard(lock);
    for (const Log& log : run.logs) {
      auto it = store.marks.find(log.key);
      Job job;
      job.log = &log;
      if (it != store.marks.end()) {
        const Mark& m = it->second;
        if (log.size < m.size || log.size < m.pos) {
          job.shrunk = true;  // rewritten: read again from the start
        } else if (log.size == m.size && (m.pos >= 1 || m.size == 0)) {
          --pendingLogs;
          continue;
        } else {
          job.pos = m.pos;
        }
      }
      run.jobs.push_back(job);
    }
  };
  plan();
  if (!run.jobs.empty() && !loadIds()) {
    // The counted ids do not belong to this store: trust neither, count everything again.
    ::Log::note("the spend store and its counted ids do not match; counting again");
    {
      std::lock_guard<std::mutex> guard(lock);
      store = Store{};
      ++version;
    }
    ids.clear();
    idsLoaded = true;
    run.changed = true;
    pendingLogs = static_cast<int64_t>(run.logs.size());
    plan();
  }

  for (size_t j = 0; j < run.jobs.size(); ++j) {
    Job& job = run.jobs[j];
    int64_t from = job.pos, limit = job.log->size;
    size_t first = run.pieces.size();
    for (int64_t start = from; start < limit || start == from; start += kStretchBytes) {
      int64_t end = std::min(limit, start + kStretchBytes);
      run.pieces.push_back({j, {start, end, limit, start == from}});
      if (end >= limit) break;
    }
    job.stretchesLeft = run.pieces.size() - first;
  }
  run.hourCut = hourKey(now - kHoursKept);
  run.dayCut = dayKey(daysBefore(now, kDaysKept - 1));
  if (!run.jobs.empty()) harvestAll(run);

  if (run.changed) {
    std::lock_guard<std::mutex> guard(lock);
    // Prune: hours older than 21 days, days before the 14 kept, ids older than kIdDays.
    pruneKeys(store.hours, run.hourCut);
    for (auto& [sid, s] : store.sessions) pruneKeys(s.daily, run.dayCut);
    for (auto& [key, m] : store.marks) {
      pruneKeys(m.hours, run.hourCut);
      pruneKeys(m.daily, run.dayCut);
    }
    ++version;
  }
  if (run.changed) ids.prune(now - kIdDays * 86400.0);

  bool saved = false;
  if (run.changed) {
    std::string text;
    uint64_t generation = freshGeneration();
    {
      std::lock_guard<std::mutex> guard(lock);
      store.idsGeneration = generation;
      text = encodeStore(store);
    }
    // The new ids first, under their own name: until the store that names them is in
    // place, the old store still finds its own ids.
    Files::makeDirectories(storeDir(), 0700);
    saved = Files::writeAtomic(idsPath(generation), ids.encode(generation), 0600) &&
            Files::writeAtomic(storePath(), text, 0600);
    if (saved) {
      dropOtherIds(generation);
    } else {
      ::unlink(idsPath(generation).c_str());
      ::Log::note("could not save the spend store in " + storeDir());
    }
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    last = {run.logs.size(), run.jobs.size(), run.bytes, saved};
    running = false;
    built = true;
  }
  pendingLogs = 0;
  return true;
}

void Account::harvestAll(Run& run) {
  const size_t count = run.pieces.size();
  std::vector<std::optional<Harvest>> results(count);
  std::mutex flow;
  std::condition_variable ready;
  size_t next = 0, merged = 0;

  auto reader = [&] {
    Harvester harvester;
    while (true) {
      size_t i;
      {
        std::unique_lock<std::mutex> hold(flow);
        ready.wait(hold, [&] { return next >= count || next < merged + kAhead; });
        if (next >= count) return;
        i = next++;
      }
      const Piece& piece = run.pieces[i];
      Harvest h = harvester.run(run.jobs[piece.job].log->path, piece.stretch);
      {
        std::lock_guard<std::mutex> hold(flow);
        results[i] = std::move(h);
      }
      ready.notify_all();
    }
  };
  std::vector<std::thread> readers;
  unsigned want = std::min<unsigned>(kReaders, static_cast<unsigned>(count));
  for (unsigned r = 0; r < want; ++r) readers.emplace_back(reader);

  // Stretches are taken in order, so a message belongs to the first log that shows it, and
  // a log's stretches follow each other.
  for (size_t i = 0; i < count; ++i) {
    Harvest h;
    {
      std::unique_lock<std::mutex> hold(flow);
      ready.wait(hold, [&] { return results[i].has_value(); });
      h = std::move(*results[i]);
      results[i].reset();
    }
    const Piece& piece = run.pieces[i];
    Job& job = run.jobs[piece.job];
    const Log& log = *job.log;
    const uint32_t owner = ownerHash(log.key);
    run.bytes += h.bytes;
    if (!h.opened) job.failed = true;
    {
      std::lock_guard<std::mutex> guard(lock);
      Mark& mark = store.marks[log.key];
      if (job.shrunk && piece.stretch.atLineStart) {
        // Take back what this file alone added; the session's other logs keep theirs.
        auto s = store.sessions.find(mark.sid.empty() ? log.sid : mark.sid);
        if (s != store.sessions.end()) {
          takeFrom(s->second.models, mark.models);
          takeFrom(s->second.daily, mark.daily);
        }
        takeFrom(store.hours, mark.hours);
        ids.release(owner);
        mark = Mark{};
        run.changed = true;
      }
      mark.sid = log.sid;
      if (!job.stopped) {
        SessionSpend* session = nullptr;
        for (const Use& use : h.uses) {
          Counters add;
          const std::string* model = &h.models[use.model];
          double at = use.at;
          if (use.id == 0) {
            add = use.counters;
          } else {
            auto r = std::find_if(mark.recent.begin(), mark.recent.end(),
                                  [&](const Recent& x) { return x.id == use.id; });
            if (r != mark.recent.end()) {
              // A later record of a message already counted here: only its growth counts.
              if (r->foreign) continue;
              Counters grown = largest(r->counted, use.counters);
              add = grown;
              add -= r->counted;
              r->counted = grown;
              model = &r->model;
              at = r->at;
            } else {
              Recent entry{use.id, *model, use.at, use.counters, false};
              if (ids.owner(use.id)) {
                entry.foreign = true;  // counted already, by a log this one was forked from
              } else {
                ids.claim(use.id, owner, use.at);
                add = use.counters;
              }
              if (mark.recent.size() >= kRecentMessages) mark.recent.erase(mark.recent.begin());
              mark.recent.push_back(std::move(entry));
              model = &mark.recent.back().model;
            }
          }
          if (add.zero()) continue;
          if (!session) {
            session = &store.sessions[log.sid];
            if (session->project.empty()) session->project = log.project;
          }
          session->models[*model] += add;
          mark.models[*model] += add;
          session->last = std::max(session->last, at);
          const std::string& day = run.keys.day(at);
          if (day >= run.dayCut) {
            session->daily[day][*model] += add;
            mark.daily[day][*model] += add;
          }
          const std::string& hour = run.keys.hour(at);
          if (hour >= run.hourCut) {
            store.hours[hour][*model] += add;
            mark.hours[hour][*model] += add;
          }
        }
        if (!h.lastMsg.empty()) mark.lastMsg = h.lastMsg;
        if (h.pos > job.pos) job.pos = h.pos;
        if (!h.complete) job.stopped = true;
      }
      if (--job.stretchesLeft == 0) {
        mark.pos = job.pos;
        // An unreadable file keeps its old size, so the next refresh tries it again.
        if (!job.failed) mark.size = log.size;
        --pendingLogs;
      }
      run.changed = true;
      ++version;
    }
    {
      std::lock_guard<std::mutex> hold(flow);
      merged = i + 1;
    }
    ready.notify_all();
  }
  for (auto& t : readers) t.join();
}

Share Account::session(const std::string& sid) {
  load();
  std::string today = dayKey(Clock::now());
  std::lock_guard<std::mutex> guard(lock);
  if (totalDay != today || totalVersion != version) {
    totalCost = 0;
    for (const auto& [id, s] : store.sessions) {
      auto d = s.daily.find(today);
      if (d != s.daily.end()) totalCost += cost(d->second);
    }
    totalDay = today;
    totalVersion = version;
  }
  Share share;
  auto s = store.sessions.find(sid);
  if (s == store.sessions.end()) return share;
  auto d = s->second.daily.find(today);
  if (d == s->second.daily.end()) return share;
  if (totalCost > 0) share.share = cost(d->second) / totalCost;
  share.output = total(d->second).output;
  return share;
}

bool Account::building() {
  std::lock_guard<std::mutex> guard(lock);
  return running;
}

bool Account::everBuilt() {
  std::lock_guard<std::mutex> guard(lock);
  return built;
}

Figures Account::figures() {
  std::lock_guard<std::mutex> guard(lock);
  return last;
}

size_t Account::held() {
  std::lock_guard<std::mutex> guard(lock);
  return (loaded ? 1 : 0) + store.marks.size() + store.sessions.size();
}

void Account::reset() {
  std::lock_guard<std::mutex> guard(lock);
  store = Store{};
  loaded = running = built = false;
  lastRefresh = -1e300;
  pendingLogs = 0;
  ++version;
  last = {};
  ids.clear();
  idsLoaded = false;
  finder.clear();
  totalDay.clear();
}

bool refresh(bool force) {
  return account().refresh(force);
}
Share session(const std::string& sid) {
  return account().session(sid);
}
int64_t pending() {
  return account().pending();
}
bool building() {
  return account().building();
}
bool everBuilt() {
  return account().everBuilt();
}

ModelMap allModels() {
  return account().inspect([](const Store& store) {
    ModelMap all;
    for (const auto& [sid, s] : store.sessions) addInto(all, s.models);
    return all;
  });
}

}  // namespace Spend
