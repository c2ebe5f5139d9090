// Serial dispatch queues and counting semaphores on std::thread (the platform's dispatch library
// does not exist here).
//
// A Queue runs the work items submitted to it one at a time, in submission order. Every queue of
// the process runs on one fixed pool of worker threads, started with the first queue: a queue
// costs no thread, so the process's threads do not grow with its queues. An item may run on any
// worker, but never beside another item of its queue. Queues are shared: a work item or handler
// may hold the queue that runs it. When the last reference goes, the items already submitted
// still run. No exception leaves a work item: one that throws is reported to the system log and
// the queue goes on with the next item. An item that blocks holds a worker for as long: long
// work belongs on a queue of its own, and items must not wait for each other across queues.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform::dispatch {

// The number of worker threads that serve every queue of the process.
inline constexpr std::size_t kWorkerThreads = 4;

class Queue {
 public:
  using Work = std::function<void()>;

  // A new serial queue. Throws std::system_error when the worker threads cannot be made.
  static std::shared_ptr<Queue> create(std::string label);
  ~Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  const std::string& label() const;
  // Submits work and returns at once. Any thread, also the queue's own.
  void async(Work work);
  // Whether the caller is running an item of this queue.
  bool isCurrent() const;

  struct State;  // shared with the worker that runs the queue's items

 private:
  explicit Queue(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

// A counting semaphore: signal() adds one, wait() takes one, blocking while there is none.
class Semaphore {
 public:
  explicit Semaphore(long value = 0) : value_(value) {}
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void signal();
  void wait();
  // Takes one if one arrives within timeout; false when the time ran out.
  bool waitFor(std::chrono::steady_clock::duration timeout);

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  long value_;  // guarded by mutex_
};

}  // namespace platform::dispatch
