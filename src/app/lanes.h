#pragma once
// Where the slow part of an act runs: off the main thread, with its result brought back to
// the main thread while the application lives, and what must follow then applied there.

#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "app/follow.h"
#include "base/queue.h"

class Lanes {
 public:
  /// `background` and `slow` may be empty: the shared pool, and a pool of its own for work
  /// that blocks for seconds (or `background` when only that is given).
  Lanes(MainQueue* main, std::function<void(Job)> background, std::function<void(Job)> slow);

  /// Results come back only while `owner` lives, and what they say must follow goes to
  /// `apply` (on the main thread).
  void bind(std::weak_ptr<void> owner, std::function<void(Follow)> apply);

  void background(Job job);
  /// Work that blocks for seconds (typing into a terminal and watching it take), kept apart
  /// so a few answers never hold up the scan.
  void slow(Job job);
  /// Runs the job on the main thread while the owner lives.
  void onMain(Job job);

  /// Runs `work` off the main thread (`blocking`: on the slow lane), then `then(result)` on
  /// the main thread, which returns what must follow. `work` must not touch application
  /// state; `then` may, since it runs only while the owner lives.
  template <typename Work, typename Then>
  void then(Work work, Then then, bool blocking = false);

  /// Applies what must follow, for a callback that changed state outside `then` (call it
  /// only while the owner lives: from `guarded` or `onMain`).
  void follow(Follow f) const {
    if (apply) apply(f);
  }

  /// Wraps a callback that may come late (an alert's answer) so it runs only while the
  /// owner lives.
  template <typename F>
  auto guarded(F f) const {
    return [owner = owner, f = std::move(f)](auto&&... args) mutable {
      if (auto alive = owner.lock()) f(std::forward<decltype(args)>(args)...);
    };
  }

 private:
  static void failed(const std::exception& e);

  MainQueue* main;
  std::function<void(Job)> backgroundLane, slowLane;
  std::weak_ptr<void> owner;
  std::function<void(Follow)> apply;
};

template <typename Work, typename Then>
void Lanes::then(Work work, Then then, bool blocking) {
  Job job = [owner = owner, main = main, apply = apply, work = std::move(work),
             then = std::move(then)]() mutable {
    try {
      auto result = work();
      main->post([owner, apply, then, result = std::move(result)]() mutable {
        auto alive = owner.lock();
        if (!alive) return;
        Follow follow = then(std::move(result));
        if (apply) apply(follow);
      });
    } catch (const std::exception& e) {
      // A pool thread must never end the process; the effect is simply lost.
      failed(e);
    }
  };
  if (blocking)
    slow(std::move(job));
  else
    background(std::move(job));
}
