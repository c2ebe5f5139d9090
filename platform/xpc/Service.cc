#include "platform/xpc/Service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/bundle/Bundle.h"
#include "platform/env/Env.h"
#include "platform/env/Errors.h"
#include "platform/xpc/Rendezvous.h"

namespace platform::xpc {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds::rep kDefaultIdleDelayMs =
    std::chrono::milliseconds(kIdleExitDelay).count();
std::atomic<std::chrono::milliseconds::rep> idleDelayMs{kDefaultIdleDelayMs};

// Live connections of the process: each holds one Activity for as long as it exists.
struct Activity {
  static std::atomic<int> live;
  static std::atomic<Clock::rep> lastEnd;
  Activity() { ++live; }
  ~Activity() {
    lastEnd = Clock::now().time_since_epoch().count();
    --live;
  }
  Activity(const Activity&) = delete;
  Activity& operator=(const Activity&) = delete;
};
std::atomic<int> Activity::live{0};
std::atomic<Clock::rep> Activity::lastEnd{0};

// An early end asked for by the service (exitWhenIdle), and what to run before it.
std::mutex exitMutex;
bool exitRequested = false;
std::function<void()> beforeExit;

bool takeExitRequest(std::function<void()>* run) {
  const std::lock_guard<std::mutex> hold(exitMutex);
  if (exitRequested) *run = beforeExit;
  return exitRequested;
}

// The listener handed over by socket activation, if this process is the one it was meant for.
UniqueFd inheritedListener() {
  const char* fds = std::getenv("LISTEN_FDS");
  const char* pid = std::getenv("LISTEN_PID");
  const bool forUs = fds && pid && std::string(fds) == "1" && std::to_string(::getpid()) == pid;
  // Not passed on to anything this process starts.
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDNAMES");
  if (!forUs) return UniqueFd();
  ::fcntl(3, F_SETFD, FD_CLOEXEC);
  int listening = 0;
  socklen_t size = sizeof listening;
  if (::getsockopt(3, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening) {
    return UniqueFd();
  }
  return UniqueFd(3);
}

// Which file a path names, by device and inode; nothing when there is none.
struct FileKey {
  dev_t device;
  ino_t inode;
  bool operator==(const FileKey&) const = default;
};
std::optional<FileKey> fileKey(const std::filesystem::path& path, bool followLink) {
  struct stat status {};
  if ((followLink ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status)) != 0) {
    return std::nullopt;
  }
  return FileKey{status.st_dev, status.st_ino};
}

// The socket file goes only while it is this process's: one that a later service bound at the
// same path (after its folder was cleared) serves that service's clients.
void removeSocket(const rendezvous::Service& service, const std::optional<FileKey>& own) {
  if (own && fileKey(service.socketPath, false) == own) ::unlink(service.socketPath.c_str());
}

bool readable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  const int result = retryOnEintr([&] { return ::poll(&entry, 1, timeoutMs); });
  return result > 0 && (entry.revents & POLLIN) != 0;
}

}  // namespace

// The one maker of service-side connections.
class ServiceListener {
 public:
  static void accept(int listener, const rendezvous::Service& service,
                     const ConnectionHandler& handler) {
    UniqueFd socket(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!socket) {
      if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK || errno == EOPNOTSUPP) {
        env().log("XPC service lost its listening socket");
        std::_Exit(1);
      }
      // Out of descriptors or memory: the client waits in the backlog; do not spin meanwhile.
      if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) ::usleep(100 * 1000);
      return;
    }
    try {
      rendezvous::prepareSocket(socket.get());
      auto queue = dispatch::Queue::create(service.name + ".connection");
      auto connection =
          Connection::accepted({}, std::move(socket), queue, std::make_shared<Activity>());
      // Handed over here rather than on its queue: the handler only sets the event handler and
      // resumes, and the client's first message is already on its way.
      handler(connection);
    } catch (const std::exception& error) {
      // Refusing one client (its socket closes here) must not end the service for the others.
      env().log(std::string("XPC service could not accept a connection: ") + error.what());
    }
  }
};

void setIdleExitDelayForTesting(std::chrono::milliseconds delay) { idleDelayMs = delay.count(); }

void exitWhenIdle(std::function<void()> run) {
  const std::lock_guard<std::mutex> hold(exitMutex);
  exitRequested = true;
  if (!run) return;
  if (!beforeExit) {
    beforeExit = std::move(run);
    return;
  }
  beforeExit = [first = std::move(beforeExit), second = std::move(run)] {
    first();
    second();
  };
}

void serviceMain(const ConnectionHandler& handler) {
  UniqueFd listener = inheritedListener();
  rendezvous::Service service;
  try {
    service = rendezvous::serviceAt(Bundle::main().bundlePath());
    if (!listener) {
      const UniqueFd lock = rendezvous::lockActivation(service);
      if (UniqueFd running = rendezvous::tryConnect(service)) std::_Exit(0);
      listener = rendezvous::listenAt(service);
    }
  } catch (const std::exception& error) {
    env().log(std::string("XPC service cannot start: ") + error.what());
    std::_Exit(1);
  }
  // The running executable holds its file, so its inode cannot name another file meanwhile.
  const std::optional<FileKey> running = fileKey("/proc/self/exe", true);
  const std::optional<FileKey> socketFile = fileKey(service.socketPath, false);
  Activity::lastEnd = Clock::now().time_since_epoch().count();
  for (;;) {
    std::function<void()> run;
    if (takeExitRequest(&run)) {
      // No new client: the socket goes at once (under the activation lock, so a starting client
      // sees either this service or none), and the connections already accepted finish first.
      if (listener) {
        try {
          const UniqueFd lock = rendezvous::lockActivation(service);
          removeSocket(service, socketFile);
        } catch (const std::exception&) {
          removeSocket(service, socketFile);
        }
        listener.reset();
      }
      if (Activity::live == 0) {
        if (run) run();
        std::_Exit(0);
      }
      ::poll(nullptr, 0, 20);
      continue;
    }
    if (readable(listener.get(), 100)) {
      // An end asked for meanwhile comes first: the client goes on to start a new service.
      std::function<void()> ignored;
      if (takeExitRequest(&ignored)) continue;
      // A copy installed at this one's path since it started (from outside, or by an install)
      // is the one to answer: this process ends, and the client, closed before its greeting,
      // starts that copy's service.
      if (running && fileKey(service.executable, true) != running) {
        exitWhenIdle(nullptr);
        continue;
      }
      ServiceListener::accept(listener.get(), service, handler);
      continue;
    }
    const auto idleSince = Clock::time_point(Clock::duration(Activity::lastEnd.load()));
    if (Activity::live > 0 || Clock::now() - idleSince < std::chrono::milliseconds(idleDelayMs)) {
      continue;
    }
    // A client may have connected into the backlog after the poll: under the activation lock,
    // which every starting client takes, look once more before the socket goes. Without the lock
    // (its folder removed) no client can start a service there any more: go all the same.
    // The socket goes while the lock is still held, as on an asked-for end: a client that takes
    // the lock next finds either this service or none, never a socket about to vanish.
    UniqueFd lock;
    try {
      lock = rendezvous::lockActivation(service);
      if (readable(listener.get(), 0)) continue;
    } catch (const std::exception& error) {
      env().log(std::string("XPC service cannot take its activation lock: ") + error.what());
    }
    removeSocket(service, socketFile);
    listener.reset();
    std::_Exit(0);
  }
}

}  // namespace platform::xpc
