// XPC packets arrive from any process of the user: the decoder refuses anything malformed with
// XpcError and nothing else, and what it accepts encodes back to the same packet.
#include <cstdint>
#include <string_view>

#include "platform/xpc/Wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace wire = platform::xpc::wire;
  const std::string_view packet(reinterpret_cast<const char*>(data), size);
  try {
    const wire::Packet decoded = wire::decode(packet);
    if (wire::encode(decoded.header, decoded.body) != packet) __builtin_trap();
  } catch (const platform::xpc::XpcError&) {
  }
  return 0;
}
