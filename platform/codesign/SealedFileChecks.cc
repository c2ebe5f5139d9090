// Hashing a bundle's sealed files on every core. Kept apart from the seal's walk so that the walk
// reads as it would on one thread, and the only threads, locks and ordering rules of code signing
// sit in one place: a check reports exactly what one thread checking in the walk's order would.
#include <algorithm>
#include <thread>

#include "platform/codesign/Internal.h"

namespace platform::codesign {

namespace {

// Never more threads than this, whatever the machine: past it the disk, not hashing, is the limit.
constexpr unsigned kMaximumThreads = 16;
// Files opened ahead of the threads, per thread: enough that none waits for the walk, few enough
// that the descriptors held stay far below any limit.
constexpr std::size_t kQueuedPerThread = 4;

// Unwinds the walk once a check has failed; never reported, since that failure comes first.
struct Stopped {};

}  // namespace

SealedFileChecks::SealedFileChecks()
    : threads_(std::clamp(std::thread::hardware_concurrency(), 1u, kMaximumThreads)) {}

SealedFileChecks::~SealedFileChecks() { stop(); }

void SealedFileChecks::add(UniqueFd fd, std::string digest, std::string path) {
  std::unique_lock lock(mutex_);
  if (failure_) throw Stopped{};
  jobs_.push_back(Job{queued_++, std::move(fd), std::move(digest), std::move(path)});
  if (workers_.size() < threads_) {
    try {
      workers_.emplace_back([this] { work(); });
    } catch (const std::exception&) {
      threads_ = workers_.size();  // as many as the system gives; with none, the caller hashes
    }
  }
  if (workers_.empty()) {
    runNext(lock, hasher_);
    return;
  }
  added_.notify_one();
  taken_.wait(lock, [&] { return jobs_.size() < kQueuedPerThread * threads_ || failure_; });
}

void SealedFileChecks::fail(std::exception_ptr failure) {
  const std::lock_guard lock(mutex_);
  record(queued_, std::move(failure));
}

void SealedFileChecks::finish() {
  std::unique_lock lock(mutex_);
  taken_.wait(lock, [&] { return jobs_.empty() && running_ == 0; });
  lock.unlock();
  stop();
  if (failure_) std::rethrow_exception(failure_);
}

void SealedFileChecks::work() {
  std::optional<Hasher> hasher;
  std::unique_lock lock(mutex_);
  while (true) {
    added_.wait(lock, [&] { return !jobs_.empty() || closing_; });
    if (jobs_.empty()) return;
    runNext(lock, hasher);
  }
}

void SealedFileChecks::runNext(std::unique_lock<std::mutex>& lock, std::optional<Hasher>& hasher) {
  Job job = std::move(jobs_.front());
  jobs_.pop_front();
  taken_.notify_all();
  // Behind a failure nothing can change the outcome: the file is closed unread.
  if (job.order > firstFailure_) return;
  ++running_;
  lock.unlock();
  std::exception_ptr failure;
  try {
    if (!hasher) hasher.emplace();
    if (hasher->digest(job.fd.get()) != job.digest) {
      raise(Status::kSealBroken, "a sealed resource is modified: " + job.path);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  job.fd.reset();
  lock.lock();
  --running_;
  if (failure) record(job.order, std::move(failure));
  taken_.notify_all();
}

void SealedFileChecks::record(std::size_t order, std::exception_ptr failure) {
  if (order < firstFailure_) {
    firstFailure_ = order;
    failure_ = std::move(failure);
  }
}

void SealedFileChecks::stop() noexcept {
  {
    const std::lock_guard lock(mutex_);
    closing_ = true;
    jobs_.clear();
  }
  added_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

}  // namespace platform::codesign
