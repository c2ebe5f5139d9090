#include "platform/Dispatch.h"

#include <deque>
#include <exception>
#include <thread>

#include "platform/Env.h"

namespace platform::dispatch {

// The thread holds the state, not the queue, so a queue released by its own work item can be
// destroyed while the thread drains what is left.
struct Queue::State {
  std::string label;
  std::mutex mutex;
  std::condition_variable condition;
  std::deque<Work> items;
  bool stopping = false;
  std::thread thread;
};

namespace {

void run(Queue::Work& work, const std::string& label) {
  try {
    work();
  } catch (const std::exception& error) {
    env().log("dispatch queue " + label + ": a work item failed: " + error.what());
  } catch (...) {
    env().log("dispatch queue " + label + ": a work item failed");
  }
}

void drain(const std::shared_ptr<Queue::State>& state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->condition.wait(lock, [&] { return state->stopping || !state->items.empty(); });
    if (state->items.empty()) return;
    Queue::Work work = std::move(state->items.front());
    state->items.pop_front();
    lock.unlock();
    run(work, state->label);
    // The item's captures (perhaps the last reference to the queue) go before the lock is taken.
    work = nullptr;
    lock.lock();
  }
}

}  // namespace

std::shared_ptr<Queue> Queue::create(std::string label) {
  auto state = std::make_shared<State>();
  state->label = std::move(label);
  state->thread = std::thread([state] { drain(state); });
  return std::shared_ptr<Queue>(new Queue(std::move(state)));
}

Queue::Queue(std::shared_ptr<State> state) : state_(std::move(state)) {}

Queue::~Queue() {
  {
    const std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->condition.notify_one();
  if (state_->thread.get_id() == std::this_thread::get_id()) {
    state_->thread.detach();
  } else {
    state_->thread.join();
  }
}

const std::string& Queue::label() const { return state_->label; }

void Queue::async(Work work) {
  {
    const std::lock_guard lock(state_->mutex);
    state_->items.push_back(std::move(work));
  }
  state_->condition.notify_one();
}

bool Queue::isCurrent() const { return state_->thread.get_id() == std::this_thread::get_id(); }

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
