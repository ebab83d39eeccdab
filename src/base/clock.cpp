#include "base/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace Clock {
namespace {

class RealClock final : public Source {
 public:
  Time now() override {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
  }
  void sleep(double seconds) override {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
};

RealClock realClock;
std::atomic<Source*> installed{nullptr};

}  // namespace

Source& current() {
  Source* s = installed.load();
  return s ? *s : realClock;
}

void install(Source* source) { installed.store(source); }

double monotonic() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace Clock
