// XPC packets arrive from any process of the user: the decoder refuses anything malformed with
// XpcError and nothing else, and what it accepts encodes back to the same packet.
#include "platform/xpc/Wire.h"
#include "tests/fuzz/Fuzz.h"

void fuzzing::fuzzOne(std::string_view packet) {
  namespace wire = platform::xpc::wire;
  tolerating<platform::xpc::XpcError>([&] {
    const wire::Packet decoded = wire::decode(packet);
    require(wire::encode(decoded.header, decoded.body) == packet);
  });
}
