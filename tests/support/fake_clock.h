#pragma once
// A clock that stands still until told, and whose sleeps only move it forward.

#include <atomic>

#include "base/clock.h"

class FakeClock final : public Clock::Source {
 public:
  explicit FakeClock(Clock::Time start = 1.8e9) : t(start) { Clock::install(this); }
  ~FakeClock() override { Clock::install(nullptr); }

  Clock::Time now() override { return t.load(); }
  void sleep(double seconds) override {
    slept = slept.load() + seconds;
    advance(seconds);
  }
  void advance(double seconds) { t = t.load() + seconds; }
  void set(Clock::Time when) { t = when; }
  double totalSlept() const { return slept.load(); }

 private:
  std::atomic<Clock::Time> t;
  std::atomic<double> slept{0};
};
