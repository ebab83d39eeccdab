#pragma once
// The token account of every agent session: read incrementally from the transcripts,
// kept in memory, stored in ~/.claude/velmo-spend. One Account per process holds the
// store, the counted ids and the refresh flags under one lock; the free functions of
// Spend reach that one.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "spend/ids.h"
#include "spend/logs.h"
#include "spend/records.h"

namespace Spend {

/// A session's part of today's list-price cost, and its output tokens today.
struct Share {
  double share = 0;
  int64_t output = 0;
};

/// What the last refresh that ran did (for `velmo --spend`, tests and benchmarks).
struct Figures {
  size_t logs = 0;     ///< logs found on disk
  size_t read = 0;     ///< logs opened and read
  int64_t bytes = 0;   ///< bytes read
  bool saved = false;  ///< the store was written
};

/// The last refresh may be at most this old before a refresh that is not forced runs.
constexpr double kRefreshGate = 30;
/// Hour buckets are kept this long (21 days).
constexpr double kHoursKept = 1814400;
/// Days kept per session: today and the 13 before it.
constexpr int kDaysKept = 14;
/// A log is read in stretches of this many bytes, so one large transcript keeps both
/// readers busy.
constexpr int64_t kStretchBytes = 4 << 20;
/// Readers working at once.
constexpr unsigned kReaders = 2;

class Account {
 public:
  /// Brings the account up to date. Not forced, it runs only when the last refresh began at
  /// least kRefreshGate seconds ago; never while another runs. True when it ran.
  bool refresh(bool force);
  Share session(const std::string& sid);
  /// Runs `look` on the store under the lock (loading it first when needed); `look` must
  /// only read, and quickly.
  template <typename Look>
  auto inspect(Look&& look) {
    load();
    std::lock_guard<std::mutex> guard(lock);
    return look(std::as_const(store));
  }
  /// Files still to read in the running refresh.
  int64_t pending() const { return pendingLogs.load(); }
  bool building();
  bool everBuilt();
  Figures figures();
  /// Forgets everything in memory (the files stay), as at process start.
  void reset();
  /// How much it holds in memory (tests of the reset).
  size_t held();

 private:
  void load();
  bool loadIds();
  void finish(bool changed);
  struct Run;
  void harvestAll(Run& run);

  std::mutex lock;
  Store store;
  bool loaded = false;
  bool running = false;
  bool built = false;
  double lastRefresh = -1e300;
  std::atomic<int64_t> pendingLogs{0};
  uint64_t version = 0;  ///< bumped on every change, so cached sums know when to go
  Figures last;
  // Touched only by the refresh that runs (the running flag keeps it one at a time).
  CountedIds ids;
  bool idsLoaded = false;
  LogFinder finder;
  // Today's total cost, cached per day and version.
  std::string totalDay;
  uint64_t totalVersion = ~0ull;
  double totalCost = 0;
};

/// The process's account.
Account& account();

bool refresh(bool force);
Share session(const std::string& sid);
int64_t pending();
bool building();
bool everBuilt();

/// All-time counters per model id as recorded, summed over every session.
ModelMap allModels();

}  // namespace Spend
