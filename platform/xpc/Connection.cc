#include "platform/xpc/Connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "platform/bundle/Bundle.h"
#include "platform/env/Errors.h"
#include "platform/xpc/IoThread.h"
#include "platform/xpc/Rendezvous.h"
#include "platform/xpc/Wire.h"

#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif

namespace platform::xpc {
namespace {

std::mutex servicesFolderMutex;
std::filesystem::path& servicesFolderOverride() {
  static std::filesystem::path folder;
  return folder;
}

std::filesystem::path servicesFolder() {
  {
    const std::lock_guard lock(servicesFolderMutex);
    if (!servicesFolderOverride().empty()) return servicesFolderOverride();
  }
  return Bundle::mainBundlePath() / "Contents" / "XPCServices";
}

// The I/O thread never waits on a socket; writers that may wait do so with poll().
void makeNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    throwErrno("Cannot prepare an XPC connection");
  }
}

}  // namespace

std::shared_ptr<Connection> Connection::create(const std::string& serviceName,
                                               std::shared_ptr<dispatch::Queue> queue) {
  std::shared_ptr<Connection> connection(new Connection(std::move(queue), true));
  connection->serviceName_ = serviceName;
  return connection;
}

std::filesystem::path Connection::serviceBundlePath(const std::string& serviceName) {
  return rendezvous::findService(serviceName, servicesFolder()).bundle;
}

void Connection::setServicesFolderForTesting(const std::filesystem::path& servicesFolder) {
  const std::lock_guard lock(servicesFolderMutex);
  servicesFolderOverride() = servicesFolder;
}

std::shared_ptr<Connection> Connection::accepted(PassKey<ServiceListener>, UniqueFd socket,
                                                 std::shared_ptr<dispatch::Queue> queue,
                                                 std::shared_ptr<void> keepAlive) {
  return serve(std::move(socket), std::move(queue), std::move(keepAlive));
}

std::shared_ptr<Connection> Connection::acceptedForTesting(UniqueFd socket,
                                                           std::shared_ptr<dispatch::Queue> queue) {
  return serve(std::move(socket), std::move(queue), nullptr);
}

std::shared_ptr<Connection> Connection::serve(UniqueFd socket,
                                              std::shared_ptr<dispatch::Queue> queue,
                                              std::shared_ptr<void> keepAlive) {
  std::shared_ptr<Connection> connection(new Connection(std::move(queue), false));
  connection->keepAlive_ = std::move(keepAlive);
  makeNonBlocking(socket.get());
  // The greeting tells the client that what it sends from now on will be read.
  connection->writePacket(socket.get(),
                          wire::encode({wire::kFlagGreeting, connection->nextID_++, 0}, {}));
  connection->socket_ = std::move(socket);
  return connection;
}

Connection::Connection(std::shared_ptr<dispatch::Queue> queue, bool client)
    : queue_(std::move(queue)), client_(client) {}

Connection::~Connection() {
  // Dropped before it ever ran or ended: replies still awaited are answered all the same.
  for (auto& [id, waiting] : pending_) {
    waiting.queue->async(
        [handler = std::move(waiting.handler)] { handler(Error::kConnectionInvalid); });
  }
}

void Connection::setEventHandler(Handler handler) {
  const std::lock_guard lock(mutex_);
  // After the final event nothing would ever release it.
  if (!finished_) eventHandler_ = std::move(handler);
}

void Connection::resume() {
  int fd = -1;
  {
    const std::lock_guard lock(mutex_);
    if (resumed_ || finished_) return;
    resumed_ = true;
    if (!client_) fd = socket_.get();
  }
  if (client_) {
    queue_->async([self = shared_from_this()] { self->connect(); });
  } else {
    startReading(fd);
  }
}

void Connection::connect() {
  {
    const std::lock_guard lock(mutex_);
    // Cancelled before its turn: no service is started for nobody.
    if (finished_) return;
  }
  UniqueFd socket;
  try {
    socket = rendezvous::connectToService(rendezvous::findService(serviceName_, servicesFolder()));
    makeNonBlocking(socket.get());
  } catch (const std::exception&) {
    finish(Error::kConnectionInvalid);
    return;
  }
  attach(std::move(socket));
}

void Connection::attach(UniqueFd socket) {
  const int fd = socket.get();
  std::vector<std::string> waiting;
  {
    const std::lock_guard writeLock(writeMutex_);
    {
      const std::lock_guard lock(mutex_);
      if (finished_) return;
      socket_ = std::move(socket);
      waiting.swap(outbox_);
      if (!greeted_) unconfirmed_ = waiting;
    }
    for (const std::string& packet : waiting) writePacket(fd, packet);
  }
  startReading(fd);
}

void Connection::startReading(int fd) {
  try {
    IoThread::instance().watch(shared_from_this(), fd);
  } catch (const std::exception&) {
    finish(Error::kConnectionInvalid);
  }
}

void Connection::sendMessage(const Dictionary& message) { send(message, 0, std::nullopt); }

void Connection::sendMessageWithReply(const Dictionary& message,
                                      std::shared_ptr<dispatch::Queue> replyQueue,
                                      Handler replyHandler) {
  send(message, wire::kFlagExpectsReply, Pending{std::move(replyQueue), std::move(replyHandler)});
}

void Connection::cancel() { finish(Error::kConnectionInvalid); }

void Connection::send(const Dictionary& message, std::uint16_t flags,
                      std::optional<Pending> pending) {
  const std::lock_guard writeLock(writeMutex_);
  std::unique_lock lock(mutex_);
  const std::uint64_t id = nextID_++;
  const std::string packet = wire::encode({flags, id, message.replyTo()}, message);
  if (finished_) {
    if (pending) {
      pending->queue->async(
          [handler = std::move(pending->handler)] { handler(Error::kConnectionInvalid); });
    }
    return;
  }
  if (pending) pending_.emplace(id, std::move(*pending));
  if (!socket_) {
    outbox_.push_back(packet);
    return;
  }
  if (client_ && !greeted_) unconfirmed_.push_back(packet);
  const int fd = socket_.get();
  lock.unlock();
  writePacket(fd, packet);
}

void Connection::writePacket(int fd, const std::string& packet) {
  for (;;) {
    if (retryOnEintr([&] { return ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL); }) >= 0) {
      return;
    }
    // A failed write needs no answer here: the reader sees the connection end and reports it.
    if (errno != EAGAIN && errno != EWOULDBLOCK) return;
    // A service never waits for a client that does not read its replies (that would stall the
    // work behind the reply): such a client loses its connection instead. A client waits for
    // room, or for the connection to end.
    if (!client_) {
      ::shutdown(fd, SHUT_RDWR);
      return;
    }
    pollfd entry{fd, POLLOUT, 0};
    retryOnEintr([&] { return ::poll(&entry, 1, -1); });
  }
}

std::optional<Connection::Ended> Connection::readable(PassKey<IoThread>, char* buffer) {
  int fd = -1;
  {
    const std::lock_guard lock(mutex_);
    fd = socket_.get();
  }
  // A few packets at a time: the socket stays readable, and other connections get their turn.
  for (int packets = 0; packets < 16; ++packets) {
    if (const std::optional<Ended> ended = receiveOne(fd, buffer)) {
      if (*ended == Ended::kNothingWaiting) return std::nullopt;
      return ended;
    }
  }
  return std::nullopt;
}

void Connection::readingEnded(PassKey<IoThread>, Ended ended) {
  if (!client_) {
    finish(Error::kConnectionInvalid);
    return;
  }
  bool interrupted = false;
  {
    const std::lock_guard writeLock(writeMutex_);
    const std::lock_guard lock(mutex_);
    if (ended == Ended::kPeerClosed && !greeted_ && !retried_ && !finished_) {
      // Closed before the service read anything: it was exiting. Try once more.
      retried_ = true;
      outbox_.swap(unconfirmed_);
      unconfirmed_.clear();
      socket_.reset();
      queue_->async([self = shared_from_this()] { self->connect(); });
      return;
    }
    interrupted = ended == Ended::kPeerClosed && greeted_;
  }
  finish(interrupted ? Error::kConnectionInterrupted : Error::kConnectionInvalid);
}

std::optional<Connection::Ended> Connection::receiveOne(int fd, char* buffer) {
  for (;;) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * 16)];
    iovec part{buffer, wire::kMaxPacketSize + 1};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t size =
        retryOnEintr([&] { return ::recvmsg(fd, &header, MSG_CMSG_CLOEXEC | MSG_DONTWAIT); });
    if (size < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Ended::kNothingWaiting;
      return Ended::kPeerClosed;
    }
    UniqueFd pidfd;
    std::optional<ucred> credentials;
    bool strayDescriptors = false;
    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item; item = CMSG_NXTHDR(&header, item)) {
      if (item->cmsg_level != SOL_SOCKET) continue;
      const std::size_t length = item->cmsg_len - CMSG_LEN(0);
      if (item->cmsg_type == SCM_CREDENTIALS && length >= sizeof(ucred)) {
        credentials.emplace();
        std::memcpy(&*credentials, CMSG_DATA(item), sizeof(ucred));
      } else if (item->cmsg_type == SCM_PIDFD && length >= sizeof(int)) {
        int received = -1;
        std::memcpy(&received, CMSG_DATA(item), sizeof received);
        pidfd.reset(received);
      } else if (item->cmsg_type == SCM_RIGHTS) {
        // Nobody sends descriptors on this channel; close them so a hostile peer leaks nothing.
        for (std::size_t i = 0; i + sizeof(int) <= length; i += sizeof(int)) {
          int received = -1;
          std::memcpy(&received, CMSG_DATA(item) + i, sizeof received);
          ::close(received);
        }
        strayDescriptors = true;
      }
    }
    // A zero-length packet cannot be told from the end of the connection: both end it.
    if (size == 0) return Ended::kPeerClosed;
    if (strayDescriptors || (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || !credentials ||
        credentials->uid != ::getuid() || credentials->pid <= 0) {
      return Ended::kRefused;
    }
    const PeerIdentity sender{credentials->pid, pidfd.get()};
    if (!deliver(std::string_view(buffer, static_cast<std::size_t>(size)), sender,
                 std::move(pidfd))) {
      return Ended::kRefused;
    }
    return std::nullopt;
  }
}

bool Connection::deliver(std::string_view packet, PeerIdentity sender, UniqueFd pidfd) {
  wire::Packet parsed;
  try {
    parsed = wire::decode(packet);
  } catch (const XpcError&) {
    return false;
  }
  if ((parsed.header.flags & wire::kFlagGreeting) != 0) {
    if (!client_) return false;
    const std::lock_guard lock(mutex_);
    greeted_ = true;
    unconfirmed_.clear();
    return true;
  }
  auto delivery = std::make_shared<Delivery>();
  delivery->messageID = parsed.header.messageID;
  delivery->expectsReply = (parsed.header.flags & wire::kFlagExpectsReply) != 0;
  delivery->sender = sender;
  delivery->pidfd = std::move(pidfd);
  parsed.body.setDelivery({}, std::move(delivery));

  if (parsed.header.replyTo != 0) {
    Pending pending;
    {
      const std::lock_guard lock(mutex_);
      const auto found = pending_.find(parsed.header.replyTo);
      // A reply to nothing asked is a peer that does not follow the protocol.
      if (found == pending_.end()) return false;
      pending = std::move(found->second);
      pending_.erase(found);
      greeted_ = true;
    }
    pending.queue->async(
        [handler = std::move(pending.handler), reply = std::move(parsed.body)] { handler(reply); });
    return true;
  }
  queue_->async([self = shared_from_this(), message = std::move(parsed.body)] {
    Handler handler;
    {
      const std::lock_guard lock(self->mutex_);
      handler = self->eventHandler_;
    }
    if (handler) handler(message);
  });
  return true;
}

void Connection::finish(Error error) {
  std::map<std::uint64_t, Pending> pending;
  {
    const std::lock_guard lock(mutex_);
    if (finished_) return;
    finished_ = true;
    pending.swap(pending_);
    outbox_.clear();
    unconfirmed_.clear();
    // Wakes the reader and any blocked writer; the descriptor closes with the connection.
    if (socket_) ::shutdown(socket_.get(), SHUT_RDWR);
  }
  for (auto& [id, waiting] : pending) {
    waiting.queue->async([handler = std::move(waiting.handler), error] { handler(error); });
  }
  // Queued behind every message already delivered, so the error is the last event; the handler
  // (and whatever it holds, often this connection) is released after it.
  queue_->async([self = shared_from_this(), error] {
    Handler handler;
    {
      const std::lock_guard lock(self->mutex_);
      handler = std::move(self->eventHandler_);
      self->eventHandler_ = nullptr;
    }
    if (handler) handler(error);
  });
}

}  // namespace platform::xpc
