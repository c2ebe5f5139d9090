#include "platform/process/Dispatch.h"

#include <deque>
#include <exception>
#include <system_error>
#include <thread>

#include "platform/env/Env.h"

namespace platform::dispatch {

// Held by the queue and, while it has items, by the pool: a queue released by its own work item
// (or by anyone) still runs what was submitted.
struct Queue::State {
  std::string label;
  std::mutex mutex;
  std::deque<Work> items;  // guarded by mutex
  bool scheduled = false;  // guarded by mutex: in the pool's ready list or running on a worker
};

namespace {

// The queue whose item the calling worker runs, if any.
thread_local const Queue::State* current = nullptr;

class Pool {
 public:
  // The process's pool, its workers started on first use. Never destroyed: workers may still run
  // while the process exits.
  static Pool& instance() {
    static Pool* const pool = new Pool();
    return *pool;
  }

  // Adds a queue that has items and is not yet scheduled.
  void schedule(std::shared_ptr<Queue::State> state) {
    {
      const std::lock_guard lock(mutex_);
      ready_.push_back(std::move(state));
    }
    changed_.notify_one();
  }

 private:
  // Fewer workers than asked for still serve every queue; none at all is a failure.
  Pool() {
    for (std::size_t i = 0; i < kWorkerThreads; ++i) {
      try {
        std::thread([this] { work(); }).detach();
      } catch (const std::system_error&) {
        if (i == 0) throw;
        break;
      }
    }
  }

  void work() {
    for (;;) {
      std::shared_ptr<Queue::State> state;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !ready_.empty(); });
        state = std::move(ready_.front());
        ready_.pop_front();
      }
      runOne(state);
    }
  }

  // One item, then the queue goes to the back of the list: a busy queue does not starve others.
  void runOne(const std::shared_ptr<Queue::State>& state) {
    Queue::Work work;
    {
      const std::lock_guard lock(state->mutex);
      work = std::move(state->items.front());
      state->items.pop_front();
    }
    current = state.get();
    try {
      work();
    } catch (const std::exception& error) {
      env().log("dispatch queue " + state->label + ": a work item failed: " + error.what());
    } catch (...) {
      env().log("dispatch queue " + state->label + ": a work item failed");
    }
    // The item's captures (perhaps the last reference to the queue) go while it still counts as
    // running on the queue.
    work = nullptr;
    current = nullptr;
    bool more = false;
    {
      const std::lock_guard lock(state->mutex);
      more = !state->items.empty();
      state->scheduled = more;
    }
    if (more) schedule(state);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Queue::State>> ready_;  // guarded by mutex_
};

}  // namespace

std::shared_ptr<Queue> Queue::create(std::string label) {
  Pool::instance();
  auto state = std::make_shared<State>();
  state->label = std::move(label);
  return std::shared_ptr<Queue>(new Queue(std::move(state)));
}

Queue::Queue(std::shared_ptr<State> state) : state_(std::move(state)) {}

const std::string& Queue::label() const { return state_->label; }

void Queue::async(Work work) {
  {
    const std::lock_guard lock(state_->mutex);
    state_->items.push_back(std::move(work));
    if (state_->scheduled) return;
    state_->scheduled = true;
  }
  Pool::instance().schedule(state_);
}

bool Queue::isCurrent() const { return current == state_.get(); }

void Semaphore::signal() {
  {
    const std::lock_guard lock(mutex_);
    ++value_;
  }
  condition_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock lock(mutex_);
  condition_.wait(lock, [&] { return value_ > 0; });
  --value_;
}

bool Semaphore::waitFor(std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(mutex_);
  if (!condition_.wait_for(lock, timeout, [&] { return value_ > 0; })) return false;
  --value_;
  return true;
}

}  // namespace platform::dispatch
