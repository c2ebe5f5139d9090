// The wire format of the XPC stand-in: one message is one SOCK_SEQPACKET packet.
//
// All integers are little-endian. A packet is a 24-byte header followed by the message body:
//
//   header   u32 magic "BXPC" (0x43505842)  u16 version (1)  u16 flags
//            u64 message id (never 0)  u64 reply-to id (0 unless the message is a reply)
//   body     a dictionary
//
//   dictionary  u32 entry count, then that many entries
//   entry       u32 key length, key bytes (UTF-8, no NUL, unique within the dictionary),
//               u8 type, value
//   value       1 string:     u32 length, bytes (no NUL)
//               2 bool:       u8 0 or 1
//               3 int64:      8 bytes, two's complement
//               4 data:       u32 length, bytes
//               5 dictionary: a dictionary, nested
//
// Flags: bit 0 "expects reply"; bit 1 "greeting" (the service's first packet on a connection,
// with an empty body, telling the client that its messages will be read). Other bits are refused.
//
// Bounds, checked on both sides: a packet is at most kMaxPacketSize bytes (a reply's data of
// 64 KiB and more fits; a larger packet would not fit an unprivileged socket's send buffer),
// dictionaries nest at most kMaxDepth deep and a packet holds at most kMaxEntries entries in all.
// A packet is never empty (a zero-length packet reads like the end of the connection).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/xpc/Object.h"

namespace platform::xpc::wire {

inline constexpr std::uint32_t kMagic = 0x43505842;
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 24;
inline constexpr std::size_t kMaxPacketSize = std::size_t{256} * 1024;
inline constexpr int kMaxDepth = 8;
inline constexpr std::size_t kMaxEntries = 4096;

inline constexpr std::uint16_t kFlagExpectsReply = 1;
inline constexpr std::uint16_t kFlagGreeting = 2;

struct Header {
  std::uint16_t flags = 0;
  std::uint64_t messageID = 0;
  std::uint64_t replyTo = 0;
};

struct Packet {
  Header header;
  Dictionary body;
};

// The packet for a header and a body. Throws XpcError when it would break a bound.
std::string encode(const Header& header, const Dictionary& body);

// The packet's header and body. Throws XpcError for anything but one well-formed packet within
// the bounds: wrong magic or version, unknown flags or types, message id 0, truncation, trailing
// bytes, a NUL in a key or string, a duplicate key, too deep, too many entries, too large.
Packet decode(std::string_view packet);

}  // namespace platform::xpc::wire
