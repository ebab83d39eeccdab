#include "base/queue.h"

#include <pthread.h>

namespace {
void nameThread(const std::string& name) {
  // Linux keeps 15 characters of a thread's name.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}
}  // namespace

void JobLine::push(Job job) {
  {
    std::lock_guard<std::mutex> guard(lock);
    jobs.push_back(std::move(job));
  }
  wake.notify_one();
}

void JobLine::stop() {
  {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
  }
  wake.notify_all();
}

void JobLine::waitIdle() {
  std::unique_lock<std::mutex> guard(lock);
  idle.wait(guard, [this] { return jobs.empty() && busy == 0; });
}

void JobLine::work() {
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

SerialQueue::SerialQueue(std::string name) : line(std::move(name)), worker([this] { line.work(); }) {}

SerialQueue::~SerialQueue() {
  line.stop();
  worker.join();
}

void SerialQueue::async(Job job) { line.push(std::move(job)); }

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

Pool::Pool(std::string name, unsigned threads) : line(std::move(name)) {
  for (unsigned i = 0; i < threads; ++i) workers.emplace_back([this] { line.work(); });
}

Pool::~Pool() {
  line.stop();
  for (auto& t : workers) t.join();
}

void Pool::async(Job job) { line.push(std::move(job)); }

void Pool::drain() { line.waitIdle(); }

Pool& Pool::shared() {
  // Leaked on purpose: jobs may still run while static objects are destroyed at exit.
  static Pool* pool = new Pool("velmo.pool", 6);
  return *pool;
}
