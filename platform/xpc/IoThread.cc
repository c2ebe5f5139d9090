#include "platform/xpc/IoThread.h"

#include <sys/epoll.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/env/Env.h"
#include "platform/env/Errors.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Wire.h"

namespace platform::xpc {

IoThread& IoThread::instance() {
  // Never destroyed: connections may still be read while the process exits.
  static IoThread* const thread = new IoThread();
  return *thread;
}

IoThread::IoThread() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (!epoll_) throwErrno("Cannot make the XPC event loop");
  std::thread([this] { run(); }).detach();
}

void IoThread::watch(std::shared_ptr<Connection> connection, int fd) {
  const std::lock_guard lock(mutex_);
  const std::uint64_t token = nextToken_++;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = token;
  watched_.emplace(token, Watched{std::move(connection), fd});
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
    const int error = errno;
    watched_.erase(token);
    throw errnoError(error, "Cannot watch an XPC connection");
  }
}

std::shared_ptr<Connection> IoThread::forget(std::uint64_t token) {
  const std::lock_guard lock(mutex_);
  const auto found = watched_.find(token);
  if (found == watched_.end()) return nullptr;
  // Before the socket can close: a descriptor number reused meanwhile must not stay watched.
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, found->second.fd, nullptr);
  std::shared_ptr<Connection> connection = std::move(found->second.connection);
  watched_.erase(found);
  return connection;
}

void IoThread::run() {
  // One buffer for the largest packet serves every connection. Not zero-filled: only the pages a
  // packet lands on get touched.
  const auto buffer = std::make_unique_for_overwrite<char[]>(wire::kMaxPacketSize + 1);
  epoll_event events[64];
  for (;;) {
    const int count =
        retryOnEintr([&] { return ::epoll_wait(epoll_.get(), events, std::size(events), -1); });
    if (count < 0) {
      env().log(std::string("XPC event loop: ") + errnoError(errno, "epoll_wait").what());
      continue;
    }
    for (int i = 0; i < count; ++i) {
      const std::uint64_t token = events[i].data.u64;
      std::shared_ptr<Connection> connection;
      {
        const std::lock_guard lock(mutex_);
        const auto found = watched_.find(token);
        if (found == watched_.end()) continue;
        connection = found->second.connection;
      }
      if (const std::optional<Connection::Ended> ended =
              connection->readable(IoKey(), buffer.get())) {
        forget(token);
        connection->readingEnded(IoKey(), *ended);
      }
    }
  }
}

}  // namespace platform::xpc
