// The messages of the XPC stand-in: typed dictionaries (string, bool, int64, data and nested
// dictionary values under string keys, in insertion order) and the error objects a connection
// delivers when it breaks.
//
// A dictionary received from a connection also carries who sent it (the process the kernel named
// for that very packet) and whether the sender waits for a reply; createReply() makes the reply
// that the connection routes back to the sender's reply handler. Dictionaries are values: copies
// share the received facts (and the sender's pidfd, closed with the last copy).
//
// Accessors follow the platform's: a getter given a missing key or a value of another type
// answers nothing (nullptr, false, 0). Strings travel as C strings and may not contain NUL.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/env/Fd.h"
#include "platform/process/PeerIdentity.h"
#include "platform/xpc/PassKey.h"

namespace platform::xpc {

class Connection;
class Dictionary;

// Bytes of a data value, kept apart from strings so that the two types never convert.
struct Data {
  std::string bytes;
  bool operator==(const Data&) const = default;
};

using Value =
    std::variant<std::string, bool, std::int64_t, Data, std::shared_ptr<const Dictionary>>;

// Raised by setString for text holding NUL, and by the wire format for what it cannot carry.
class XpcError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a received message knows about its arrival; empty for dictionaries made locally.
struct Delivery {
  std::uint64_t messageID = 0;
  bool expectsReply = false;
  // sender.pidfd is owned by pidfd.
  PeerIdentity sender;
  UniqueFd pidfd;
};

class Dictionary {
 public:
  Dictionary() = default;

  // Replaces the value of an existing key in place, otherwise appends the key.
  void setString(std::string_view key, std::string_view value);  // XpcError when value has NUL
  void setBool(std::string_view key, bool value);
  void setInt64(std::string_view key, std::int64_t value);
  void setData(std::string_view key, std::string_view bytes);
  void setDictionary(std::string_view key, Dictionary value);
  void setValue(std::string_view key, Value value);

  // nullptr unless the value is a string.
  const std::string* getString(std::string_view key) const;
  // false unless the value is a bool that is true.
  bool getBool(std::string_view key) const;
  // 0 unless the value is an int64.
  std::int64_t getInt64(std::string_view key) const;
  // nullptr unless the value is data.
  const std::string* getData(std::string_view key) const;
  // nullptr unless the value is a dictionary.
  const Dictionary* getDictionary(std::string_view key) const;
  const Value* getValue(std::string_view key) const;

  const std::vector<std::pair<std::string, Value>>& entries() const { return entries_; }
  std::size_t count() const { return entries_.size(); }

  // The sending process of a received message (pid 0 and pidfd -1 for one made locally). The
  // pidfd stays open as long as this dictionary or a copy of it lives.
  const PeerIdentity& remoteSender() const;
  // Whether this is a received message whose sender waits for a reply.
  bool expectsReply() const;
  // A new empty reply to this message, or nothing when no reply is expected.
  std::optional<Dictionary> createReply() const;
  // The message this dictionary replies to (0: not a reply).
  std::uint64_t replyTo() const { return replyTo_; }

  // What the connection that received this dictionary knows of its arrival.
  void setDelivery(PassKey<Connection>, std::shared_ptr<const Delivery> delivery) {
    delivery_ = std::move(delivery);
  }

  bool operator==(const Dictionary& other) const;

 private:
  std::vector<std::pair<std::string, Value>> entries_;
  std::shared_ptr<const Delivery> delivery_;
  std::uint64_t replyTo_ = 0;
};

// The error objects a connection delivers to its event handler and to reply handlers.
enum class Error {
  // The peer went away; on the client side the service may be started again by a new
  // connection.
  kConnectionInterrupted,
  // The connection is over: cancelled, refused, malformed traffic, or the service could not be
  // found or started. Nothing more will be delivered on it.
  kConnectionInvalid,
  // The service is about to exit.
  kTerminationImminent,
};

const char* errorDescription(Error error);

// What handlers receive: a dictionary or an error object.
using Object = std::variant<Dictionary, Error>;

inline const Dictionary* asDictionary(const Object& object) {
  return std::get_if<Dictionary>(&object);
}

}  // namespace platform::xpc
