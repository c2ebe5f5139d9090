// Dispatch queues, XPC dictionaries and their wire format.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/xpc/Wire.h"

namespace {
namespace xpc = platform::xpc;
namespace wire = platform::xpc::wire;
using platform::dispatch::Queue;
using platform::dispatch::Semaphore;

TEST(DispatchTest, SerialQueueRunsInOrderAndSurvivesItsOwnRelease) {
  // Held by the items too, which may still run after the wait gave up.
  struct Seen {
    std::vector<int> items;
    Semaphore done;
  };
  const auto seen = std::make_shared<Seen>();
  {
    auto queue = Queue::create("test.serial");
    for (int i = 0; i < 100; ++i) {
      queue->async([seen, i] {
        if (i == 3) throw std::runtime_error("thrown inside an item");
        seen->items.push_back(i);
      });
    }
    // The last reference goes inside one of the queue's own items; the rest still run.
    queue->async([queue]() mutable { queue.reset(); });
    queue->async([seen] { seen->done.signal(); });
  }
  ASSERT_TRUE(seen->done.waitFor(std::chrono::seconds(10)));
  ASSERT_EQ(seen->items.size(), 99u);
  for (std::size_t i = 1; i < 99; ++i) EXPECT_LT(seen->items[i - 1], seen->items[i]);
}

xpc::Dictionary sample() {
  xpc::Dictionary message;
  message.setString("action", "check");
  message.setData("raw", std::string("\0\xff", 2));
  return message;
}

// Patches bytes of a valid packet.
std::string patched(std::size_t at, std::string_view bytes) {
  std::string packet = wire::encode({0, 1, 0}, sample());
  packet.replace(at, bytes.size(), bytes);
  return packet;
}

TEST(XpcMessageTest, DecoderRefusesWhatIsNotOneWellFormedPacket) {
  const std::string valid = wire::encode({0, 1, 0}, sample());
  // An entry: key length 1, "k", type, value.
  const auto withEntry = [](std::string_view entry, std::uint32_t count = 1) {
    std::string packet = wire::encode({0, 1, 0}, {});
    packet.replace(wire::kHeaderSize, 4, std::string_view(reinterpret_cast<char*>(&count), 4));
    return packet + std::string(entry);
  };
  std::string deep = wire::encode({0, 1, 0}, {});
  deep.resize(wire::kHeaderSize);
  for (int i = 0; i < wire::kMaxDepth; ++i) deep += std::string("\1\0\0\0\1\0\0\0d\5", 10);
  deep += std::string(4, '\0');
  const struct {
    const char* name;
    std::string packet;
  } kCases[] = {
      {"truncated", valid.substr(0, valid.size() - 1)},
      {"bad magic", patched(0, "XXXX")},
      {"message id 0", patched(8, std::string(8, '\0'))},
      {"unknown type", withEntry(std::string("\1\0\0\0k\x09", 6))},
      {"NUL in string", withEntry(std::string("\1\0\0\0k\1\1\0\0\0\0", 11))},
      {"duplicate key", withEntry(std::string("\1\0\0\0k\2\1\1\0\0\0k\2\0", 14), 2)},
      {"count beyond the data", withEntry("", 0xffffffff)},
      {"nested too deeply", deep},
      {"too large", valid + std::string(wire::kMaxPacketSize, 'x')},
  };
  for (const auto& [name, packet] : kCases) {
    EXPECT_THROW(wire::decode(packet), xpc::XpcError) << name;
  }
  // The largest reply data the client reads fits; the bound holds for the encoder too.
  xpc::Dictionary big;
  big.setData("result", std::string(65537, 'x'));
  EXPECT_NO_THROW(wire::decode(wire::encode({0, 1, 0}, big)));
  big.setData("result", std::string(wire::kMaxPacketSize, 'x'));
  EXPECT_THROW(wire::encode({0, 1, 0}, big), xpc::XpcError);
}

}  // namespace
