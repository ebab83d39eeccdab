#pragma once
// Time as seconds since 1970 (a double), and the seam through which every wait goes,
// so that tests run the algorithms on a fake clock.

namespace Clock {

/// Seconds since 1970, UTC.
using Time = double;

/// Stands for "never happened": earlier than any real file or record time.
constexpr Time kDistantPast = -62135596800.0;

class Source {
 public:
  virtual ~Source() = default;
  virtual Time now() = 0;
  /// Blocks the caller for the given seconds (a fake clock only advances).
  virtual void sleep(double seconds) = 0;
};

/// The clock in force: the real one unless a test installed another.
Source& current();
/// Installs a clock (nullptr restores the real one). Tests only.
void install(Source* source);

inline Time now() { return current().now(); }
inline void sleep(double seconds) { current().sleep(seconds); }

/// Monotonic seconds for measuring durations (never faked).
double monotonic();

}  // namespace Clock
