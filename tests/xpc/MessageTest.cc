// Dispatch queues, XPC dictionaries and their wire format.
#include <gtest/gtest.h>

#include <atomic>
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
  std::vector<int> seen;
  Semaphore done;
  {
    auto queue = Queue::create("test.serial");
    for (int i = 0; i < 100; ++i) {
      queue->async([&seen, i] {
        if (i == 3) throw std::runtime_error("thrown inside an item");
        seen.push_back(i);
      });
    }
    // The last reference goes inside one of the queue's own items; the rest still run.
    queue->async([queue]() mutable {
      EXPECT_TRUE(queue->isCurrent());
      queue.reset();
    });
    queue->async([&done] { done.signal(); });
  }
  ASSERT_TRUE(done.waitFor(std::chrono::seconds(10)));
  ASSERT_EQ(seen.size(), 99u);
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_LT(seen[i - 1], seen[i]);
}

xpc::Dictionary sample() {
  xpc::Dictionary inner;
  inner.setData("raw", std::string("\0\xff", 2));
  xpc::Dictionary message;
  message.setString("action", "check");
  message.setBool("force", true);
  message.setInt64("n", INT64_MIN);
  message.setDictionary("inner", inner);
  return message;
}

// The wire round trip is the connection test's echo between processes.
TEST(XpcMessageTest, TypedAccessors) {
  xpc::Dictionary message = sample();
  message.setString("action", "install");  // replaces in place: keys keep their order
  EXPECT_EQ(message.entries().front().first, "action");
  EXPECT_EQ(*message.getString("action"), "install");
  EXPECT_EQ(message.getString("force"), nullptr);
  EXPECT_FALSE(message.getBool("action"));
  EXPECT_EQ(message.getData("action"), nullptr);
  EXPECT_THROW(message.setString("s", std::string("a\0b", 3)), xpc::XpcError);
  EXPECT_FALSE(message.createReply());  // made locally: nobody waits for a reply
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
      {"empty", ""},
      {"truncated", valid.substr(0, valid.size() - 1)},
      {"trailing byte", valid + "x"},
      {"bad magic", patched(0, "XXXX")},
      {"other version", patched(4, std::string("\2\0", 2))},
      {"unknown flag", patched(6, std::string("\4\0", 2))},
      {"message id 0", patched(8, std::string(8, '\0'))},
      {"unknown type", withEntry(std::string("\1\0\0\0k\x09", 6))},
      {"bool out of range", withEntry(std::string("\1\0\0\0k\2\2", 7))},
      {"NUL in string", withEntry(std::string("\1\0\0\0k\1\1\0\0\0\0", 11))},
      {"NUL in key", withEntry(std::string("\1\0\0\0\0\2\1", 7))},
      {"duplicate key", withEntry(std::string("\1\0\0\0k\2\1\1\0\0\0k\2\0", 14), 2)},
      {"count beyond the data", withEntry("", 0xffffffff)},
      {"nested too deeply", deep},
      {"too large", valid + std::string(wire::kMaxPacketSize, 'x')},
  };
  for (const auto& [name, packet] : kCases) {
    EXPECT_THROW(wire::decode(packet), xpc::XpcError) << name;
  }
  // The bounds hold for the encoder too; the largest reply data the client reads fits.
  xpc::Dictionary big;
  big.setData("result", std::string(65537, 'x'));
  EXPECT_NO_THROW(wire::decode(wire::encode({0, 1, 0}, big)));
  big.setData("result", std::string(wire::kMaxPacketSize, 'x'));
  EXPECT_THROW(wire::encode({0, 1, 0}, big), xpc::XpcError);
  xpc::Dictionary many;
  for (std::size_t i = 0; i <= wire::kMaxEntries; ++i) many.setBool(std::to_string(i), true);
  EXPECT_THROW(wire::encode({0, 1, 0}, many), xpc::XpcError);
}

}  // namespace
