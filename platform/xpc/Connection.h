// A connection of the XPC stand-in: an AF_UNIX SOCK_SEQPACKET socket carrying one message per
// packet (Wire.h), between a client and a service of the client's own bundle.
//
// Life of a connection: created (client: for a service name; service: by the listener for each
// client), given an event handler, resumed; then messages flow until it is cancelled or broken.
// Breaking ends it for good and delivers one final error event; afterwards the connection drops
// its handlers (which may hold the connection: that cycle ends there).
//
// Delivery: events (messages that are not replies, and the error objects) go to the event handler
// on the connection's serial queue, in arrival order. Replies go to the reply handler given with
// the message, on the queue given with it. Every message sent with a reply handler gets exactly
// one answer: its reply, or an error object (kConnectionInterrupted when the peer went away,
// kConnectionInvalid when the connection is cancelled, refused or cannot be made).
//
// Senders: each received message carries the process the kernel named for that packet
// (SCM_CREDENTIALS, with a pidfd from SCM_PIDFD where the kernel has it). A packet from another
// user, or one that is malformed, truncated, too large or empty, makes the connection invalid;
// other connections are not affected.
//
// Client side: the service is found among the main bundle's Contents/XPCServices/*.xpc by
// CFBundleIdentifier and started by the client when nobody listens (Rendezvous.h). If the service
// closes the connection before it has greeted it (a service that was exiting while the client
// connected into its backlog), the client reconnects once and sends its messages again.
//
// Threads: every public call may come from any thread, also from a handler; none of them throws
// except where stated, and they return at once, except that a client's send waits while the
// service's receive queue is full. The process's one I/O thread (IoThread.h) reads every socket
// and queues what arrives; handlers run on the queues (dispatch queues share a fixed pool of
// threads), so the process's threads do not grow with its connections. A client connects on its
// connection's queue, which then delivers nothing before the connection is made.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/env/Fd.h"
#include "platform/process/Dispatch.h"
#include "platform/xpc/Object.h"
#include "platform/xpc/PassKey.h"

namespace platform::xpc {

class IoThread;
class ServiceListener;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Handler = std::function<void(const Object&)>;

  // A client connection to the service named serviceName of the main bundle, delivering events on
  // queue. Nothing happens until resume(); a service that cannot be found or started shows as a
  // kConnectionInvalid error to the event handler and every reply handler.
  static std::shared_ptr<Connection> create(const std::string& serviceName,
                                            std::shared_ptr<dispatch::Queue> queue);
  // The real path of the bundle of the service named serviceName that create() would connect to.
  // Throws when there is none.
  static std::filesystem::path serviceBundlePath(const std::string& serviceName);
  // Makes client connections look for services in servicesFolder instead of the main bundle's
  // (an empty path restores that). For tests, whose executables are not bundles.
  static void setServicesFolderForTesting(const std::filesystem::path& servicesFolder);
  // The service side of an accepted socket (Service.cc). keepAlive is held as long as the
  // connection lives.
  static std::shared_ptr<Connection> accepted(PassKey<ServiceListener>, UniqueFd socket,
                                              std::shared_ptr<dispatch::Queue> queue,
                                              std::shared_ptr<void> keepAlive);
  // The service side of socket, for tests that play the client by hand.
  static std::shared_ptr<Connection> acceptedForTesting(UniqueFd socket,
                                                        std::shared_ptr<dispatch::Queue> queue);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Set before resume(); later calls replace the handler for events not yet delivered.
  void setEventHandler(Handler handler);
  // Starts connecting (a client, on the connection's queue: starting the service may wait for
  // another client's activation lock) and receiving. Calls after the first do nothing.
  void resume();
  // Sends a message that expects no reply, or (for a dictionary made by createReply()) a reply.
  // Messages sent before resume() wait for it. Throws XpcError when the message is too large.
  void sendMessage(const Dictionary& message);
  // Sends a message whose answer goes to replyHandler on replyQueue. Throws like sendMessage.
  void sendMessageWithReply(const Dictionary& message, std::shared_ptr<dispatch::Queue> replyQueue,
                            Handler replyHandler);
  // Ends the connection: the event handler receives kConnectionInvalid as its last event and
  // replies still awaited receive kConnectionInvalid. Calls after the first do nothing.
  void cancel();

  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  // How reading a socket stopped; kNothingWaiting only while it is still open.
  enum class Ended { kPeerClosed, kRefused, kNothingWaiting };
  // The I/O thread's calls. Reads what waits on the socket into buffer (the largest packet) and
  // queues it; how reading ended, or nothing while the socket stays open.
  std::optional<Ended> readable(PassKey<IoThread>, char* buffer);
  // Reading ended for good; the socket is no longer watched.
  void readingEnded(PassKey<IoThread>, Ended ended);

 private:
  struct Pending {
    std::shared_ptr<dispatch::Queue> queue;
    Handler handler;
  };

  Connection(std::shared_ptr<dispatch::Queue> queue, bool client);
  static std::shared_ptr<Connection> serve(UniqueFd socket, std::shared_ptr<dispatch::Queue> queue,
                                           std::shared_ptr<void> keepAlive);
  void send(const Dictionary& message, std::uint16_t flags, std::optional<Pending> pending);
  // A client's one way to its service, on the connection's queue (also for its one retry).
  void connect();
  // Makes socket the connection's, writes what waited for it and starts reading it.
  void attach(UniqueFd socket);
  // Hands the socket to the I/O thread; a connection that cannot be watched ends.
  void startReading(int fd);
  // Receives and delivers one packet into buffer; nothing when delivered.
  std::optional<Ended> receiveOne(int fd, char* buffer);
  bool deliver(std::string_view packet, PeerIdentity sender, UniqueFd pidfd);
  void finish(Error error);
  void writePacket(int fd, const std::string& packet);

  const std::shared_ptr<dispatch::Queue> queue_;
  const bool client_;
  std::string serviceName_;          // set before the connection is shared
  std::shared_ptr<void> keepAlive_;  // set before the connection is shared

  // Taken before mutex_; held while writing to the socket, and while the socket is replaced, so
  // that no write goes to a closed (or reused) descriptor.
  std::mutex writeMutex_;
  std::mutex mutex_;
  // Every field below is guarded by mutex_. socket_ is replaced only with writeMutex_ held too,
  // and never while the I/O thread watches it.
  Handler eventHandler_;
  UniqueFd socket_;
  bool resumed_ = false;
  bool finished_ = false;
  bool greeted_ = false;
  bool retried_ = false;
  std::uint64_t nextID_ = 1;
  std::vector<std::string> outbox_;       // waiting for the socket
  std::vector<std::string> unconfirmed_;  // written before the service greeted
  std::map<std::uint64_t, Pending> pending_;
};

}  // namespace platform::xpc
