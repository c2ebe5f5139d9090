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
// All calls are thread-safe and none of them throws except where stated. They return at once,
// except that a client's send waits while the service's receive queue is full.
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

#include "platform/Dispatch.h"
#include "platform/Fd.h"
#include "platform/xpc/Object.h"

namespace platform::xpc {

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
  static std::shared_ptr<Connection> acceptedInternal(UniqueFd socket,
                                                      std::shared_ptr<dispatch::Queue> queue,
                                                      std::shared_ptr<void> keepAlive);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Set before resume(); later calls replace the handler for events not yet delivered.
  void setEventHandler(Handler handler);
  // Starts connecting (client) and receiving. A client whose service already listens is connected
  // before this returns, and its receiving thread starts with its first message, as with the
  // platform, where a client connects when it first sends (packets wait in the socket meanwhile);
  // starting a service is left to the connection's thread, started at once. Calls after the first
  // do nothing.
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

  // Client side: the process that greeted the connection (the service, as the kernel named it
  // with the greeting), or null before the greeting. Its pidfd stays open while the result is
  // held. Replies are still to be checked by their own sender: this only tells who answered the
  // connection.
  std::shared_ptr<const Delivery> greetingSender();

 private:
  struct Pending {
    std::shared_ptr<dispatch::Queue> queue;
    Handler handler;
  };
  // How receiving stopped; kNothingWaiting only when asked not to wait.
  enum class Ended { kPeerClosed, kRefused, kNothingWaiting };

  Connection(std::shared_ptr<dispatch::Queue> queue, bool client);
  void send(const Dictionary& message, std::uint16_t flags, std::optional<Pending> pending);
  // The receiving thread; buffer holds the largest packet.
  void run(char* buffer);
  // Starts the receiving thread with buffer; a connection that cannot have one ends.
  void startReceiving(std::unique_ptr<char[]> buffer);
  // Makes socket the connection's and writes what waited for it; -1 when cancelled meanwhile.
  int attach(UniqueFd socket);
  Ended receive(int fd, char* buffer);
  // Receives and delivers one packet into buffer (recvmsg flags added); nothing when delivered.
  std::optional<Ended> receiveOne(int fd, char* buffer, int flags);
  bool deliver(std::string_view packet, PeerIdentity sender, UniqueFd pidfd);
  void finish(Error error);
  void writePacket(int fd, const std::string& packet);

  const std::shared_ptr<dispatch::Queue> queue_;
  const bool client_;
  std::string serviceName_;
  std::shared_ptr<void> keepAlive_;

  std::mutex writeMutex_;  // taken before mutex_; held while writing to the socket
  std::mutex mutex_;
  Handler eventHandler_;
  UniqueFd socket_;
  bool resumed_ = false;
  bool finished_ = false;
  bool greeted_ = false;
  bool retried_ = false;
  std::unique_ptr<char[]> receiveLater_;  // a client's receive buffer, until its first send
  std::uint64_t nextID_ = 1;
  std::vector<std::string> outbox_;       // waiting for the socket
  std::vector<std::string> unconfirmed_;  // written before the service greeted
  std::map<std::uint64_t, Pending> pending_;
  std::shared_ptr<const Delivery> greeting_;
};

}  // namespace platform::xpc
