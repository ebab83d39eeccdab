#pragma once
// Work queues: a serial queue (one named worker thread) and a concurrent pool.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using Job = std::function<void()>;

/// Jobs waiting for the threads that work them: the one worker loop of the serial queue and
/// of the pool, which differ only in how many threads work the line.
class JobLine {
 public:
  explicit JobLine(std::string name) : name(std::move(name)) {}
  void push(Job job);
  /// A worker's loop: runs jobs until `stop` was called and nothing is left.
  void work();
  /// The workers finish what is queued, then return.
  void stop();
  /// Waits until no job is queued or running. Not from a worker of this line.
  void waitIdle();

 private:
  std::string name;
  std::mutex lock;
  std::condition_variable wake;
  std::condition_variable idle;
  std::deque<Job> jobs;
  unsigned busy = 0;
  bool stopping = false;
};

/// Runs jobs one at a time, in order, on its own thread.
class SerialQueue {
 public:
  explicit SerialQueue(std::string name);
  ~SerialQueue();  ///< finishes queued jobs, then joins
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(Job job);
  /// Runs the job on the queue and waits for it.
  void sync(const Job& job);
  /// Waits until every job queued so far has run.
  void drain();

 private:
  JobLine line;
  std::thread worker;
};

/// Runs jobs concurrently on a fixed set of threads.
class Pool {
 public:
  explicit Pool(std::string name, unsigned threads = 4);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  void async(Job job);
  void drain();

  /// The process-wide pool for background work ("user-initiated" and "utility" alike).
  static Pool& shared();

 private:
  JobLine line;
  std::vector<std::thread> workers;
};

/// The seam to the thread that owns application state (the GLib main loop in the shells,
/// a manual queue in tests).
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  virtual void post(Job job) = 0;
};
