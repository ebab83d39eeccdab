#include "base/queue.h"

#include <pthread.h>

namespace {
void nameThread(const std::string& name) {
  // Linux keeps 15 characters of a thread's name.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}
}  // namespace

SerialQueue::SerialQueue(std::string n) : name(std::move(n)), worker([this] { work(); }) {}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
  }
  wake.notify_all();
  worker.join();
}

void SerialQueue::async(Job job) {
  {
    std::lock_guard<std::mutex> guard(lock);
    jobs.push_back(std::move(job));
  }
  wake.notify_one();
}

void SerialQueue::sync(const Job& job) {
  if (std::this_thread::get_id() == worker.get_id()) {
    job();
    return;
  }
  std::mutex doneLock;
  std::condition_variable doneWake;
  bool done = false;
  async([&] {
    job();
    std::lock_guard<std::mutex> guard(doneLock);
    done = true;
    doneWake.notify_all();
  });
  std::unique_lock<std::mutex> guard(doneLock);
  doneWake.wait(guard, [&] { return done; });
}

void SerialQueue::drain() { sync([] {}); }

void SerialQueue::work() {
  nameThread(name);
  while (true) {
    Job job;
    {
      std::unique_lock<std::mutex> guard(lock);
      wake.wait(guard, [this] { return stopping || !jobs.empty(); });
      if (jobs.empty()) return;
      job = std::move(jobs.front());
      jobs.pop_front();
    }
    job();
  }
}

Pool::Pool(std::string n, unsigned threads) : name(std::move(n)) {
  for (unsigned i = 0; i < threads; ++i) workers.emplace_back([this] { work(); });
}

Pool::~Pool() {
  {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
  }
  wake.notify_all();
  for (auto& t : workers) t.join();
}

void Pool::async(Job job) {
  {
    std::lock_guard<std::mutex> guard(lock);
    jobs.push_back(std::move(job));
  }
  wake.notify_one();
}

void Pool::drain() {
  std::unique_lock<std::mutex> guard(lock);
  idle.wait(guard, [this] { return jobs.empty() && busy == 0; });
}

void Pool::work() {
  nameThread(name);
  while (true) {
    Job job;
    {
      std::unique_lock<std::mutex> guard(lock);
      wake.wait(guard, [this] { return stopping || !jobs.empty(); });
      if (jobs.empty()) return;
      job = std::move(jobs.front());
      jobs.pop_front();
      ++busy;
    }
    job();
    {
      std::lock_guard<std::mutex> guard(lock);
      --busy;
      if (jobs.empty() && busy == 0) idle.notify_all();
    }
  }
}

Pool& Pool::shared() {
  // Leaked on purpose: jobs may still run while static objects are destroyed at exit.
  static Pool* pool = new Pool("velmo.pool", 6);
  return *pool;
}
