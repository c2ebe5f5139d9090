// The process's one I/O thread for the XPC stand-in: an epoll loop that reads every connection's
// socket and hands what arrives to the connection, which decodes it and queues it for delivery.
// Internal to the transport (Connection.cc).
//
// The thread starts with the first connection that reads and runs until the process ends, however
// many connections there are. A watched connection is held by the loop until its reading ends (the
// peer closed, a refused packet, or a shutdown of its socket), and its socket stays open as long
// as it is watched; the loop then stops watching it and tells it why, on the I/O thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/env/Fd.h"
#include "platform/xpc/PassKey.h"

namespace platform::xpc {

class Connection;

class IoThread {
 public:
  // The process's I/O thread, started on first use. Throws std::system_error when it cannot be
  // made (a later call tries again).
  static IoThread& instance();

  // Reads fd, a non-blocking socket of connection, from now on. Any thread. Throws
  // std::system_error when the socket cannot be watched.
  void watch(std::shared_ptr<Connection> connection, int fd);

 private:
  IoThread();
  void run();
  // Stops watching token's socket, whose connection's reading has ended.
  std::shared_ptr<Connection> forget(std::uint64_t token);

  const UniqueFd epoll_;
  std::mutex mutex_;
  std::uint64_t nextToken_ = 1;  // guarded by mutex_
  struct Watched {
    std::shared_ptr<Connection> connection;
    int fd;
  };
  std::map<std::uint64_t, Watched> watched_;  // guarded by mutex_
};

// What only the I/O thread may hand a connection.
using IoKey = PassKey<IoThread>;

}  // namespace platform::xpc
