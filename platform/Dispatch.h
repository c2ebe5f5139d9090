// Serial dispatch queues and counting semaphores on std::thread (the platform's dispatch library
// does not exist here).
//
// A Queue runs the work items submitted to it one at a time, in submission order, on one thread
// of its own. Queues are shared: a work item or handler may hold the queue that runs it. When the
// last reference goes, the queue finishes every item already submitted and then its thread ends;
// the destructor waits for that unless it runs on the queue's own thread (the last reference was
// dropped by one of its own items), in which case the thread finishes the remaining items and
// ends by itself. No exception leaves a work item: one that throws is reported to the system log
// and the queue goes on with the next item.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform::dispatch {

class Queue {
 public:
  using Work = std::function<void()>;

  // A new serial queue with its own thread. Throws std::system_error when no thread can be made.
  static std::shared_ptr<Queue> create(std::string label);
  ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  const std::string& label() const;
  // Submits work and returns at once. Any thread, also the queue's own.
  void async(Work work);
  // Whether the caller runs on this queue's thread.
  bool isCurrent() const;

  struct State;  // shared with the queue's thread

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
  long value_;
};

}  // namespace platform::dispatch
