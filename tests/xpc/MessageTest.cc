// Dispatch queues, XPC dictionaries and their wire format.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "platform/process/Dispatch.h"
#include "platform/xpc/Wire.h"

namespace {
namespace xpc = platform::xpc;
namespace wire = platform::xpc::wire;
using platform::dispatch::Queue;
using platform::dispatch::Semaphore;

// An item that throws or drops the queue's last reference stops nothing after it.
TEST(DispatchTest, SerialQueueRunsInOrderAndSurvivesItsOwnRelease) {
  // Held by the items too, which may still run after the wait gave up.
  const auto seen = std::make_shared<std::vector<int>>();
  const auto done = std::make_shared<Semaphore>();
  {
    auto queue = Queue::create("test.serial");
    for (int i = 0; i < 100; ++i) {
      queue->async([seen, i] {
        if (i == 3) throw std::runtime_error("thrown inside an item");
        seen->push_back(i);
      });
    }
    queue->async([queue]() mutable { queue.reset(); });
    queue->async([done] { done->signal(); });
  }
  ASSERT_TRUE(done->waitFor(std::chrono::seconds(10)));
  std::vector<int> expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  std::erase(expected, 3);
  EXPECT_EQ(*seen, expected);
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
  // The bound holds for the encoder too.
  xpc::Dictionary big;
  big.setData("result", std::string(wire::kMaxPacketSize, 'x'));
  EXPECT_THROW(wire::encode({0, 1, 0}, big), xpc::XpcError);
}

}  // namespace
