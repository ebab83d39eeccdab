#pragma once
// A queue that runs nothing until told: stands in for the main queue and the background
// pool, so a test decides exactly when a scan body runs and when its result lands.

#include <deque>

#include "base/queue.h"

class ManualQueue final : public MainQueue {
 public:
  void post(Job job) override { jobs.push_back(std::move(job)); }
  /// Runs the jobs queued so far (not those they queue); returns how many ran.
  size_t runQueued() {
    std::deque<Job> now;
    now.swap(jobs);
    for (auto& job : now) job();
    return now.size();
  }
  size_t size() const { return jobs.size(); }
  bool empty() const { return jobs.empty(); }
  /// A function that queues here, for the application's background hook.
  std::function<void(Job)> poster() {
    return [this](Job job) { post(std::move(job)); };
  }

 private:
  std::deque<Job> jobs;
};
