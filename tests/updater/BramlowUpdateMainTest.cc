// The updater's request channel in process: requests over a real socket pair served by
// acceptConnection. The test process is no signed bundle, so its requests are refused as
// unauthenticated; the order of the checks is tested through the real updater (e2e).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/xpc/Rendezvous.h"
#include "platform/xpc/Wire.h"
#include "tests/support/TestSupport.h"
#include "updater/BramlowUpdateMain.h"

namespace {
namespace xpc = platform::xpc;
namespace wire = platform::xpc::wire;
using bramlow::BramlowUpdateMain;

class BramlowUpdateMainTest : public testing_support::TestEnvTest {
 protected:
  ~BramlowUpdateMainTest() override { BramlowUpdateMain::setSharedServiceForTesting({}); }

  void useService() {
    const auto app = testing_support::makeTestApp(dir_.path());
    BramlowUpdateMain::setSharedServiceForTesting(
        std::make_shared<const bramlow::UpdateService>(platform::Bundle(app.updaterURL)));
  }
};

// The server end of a socket pair, served by acceptConnection; the test writes raw packets to the
// other end.
struct Served {
  platform::UniqueFd client;
  std::shared_ptr<xpc::Connection> connection;
};

Served serve() {
  int ends[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
  Served served{platform::UniqueFd(ends[0]), nullptr};
  xpc::rendezvous::prepareSocket(ends[1]);
  served.connection = xpc::Connection::acceptedForTesting(
      platform::UniqueFd(ends[1]), platform::dispatch::Queue::create("test.server"));
  BramlowUpdateMain::acceptConnection(served.connection);
  char greeting[64];
  EXPECT_GT(testing_support::readWithin(served.client.get(), greeting, sizeof greeting), 0);
  return served;
}

void sendRaw(int fd, std::uint16_t flags, std::uint64_t id, const xpc::Dictionary& message) {
  const std::string packet = wire::encode({flags, id, 0}, message);
  ASSERT_EQ(::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(packet.size()));
}

bool readable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, timeoutMs) == 1;
}

wire::Packet receiveRaw(int fd) {
  std::string buffer(wire::kMaxPacketSize, '\0');
  const ssize_t size = testing_support::readWithin(fd, buffer.data(), buffer.size());
  EXPECT_GT(size, 0);
  return wire::decode(buffer.substr(0, size > 0 ? static_cast<std::size_t>(size) : 0));
}

TEST_F(BramlowUpdateMainTest, RequestsAreAnsweredOnceInArrivalOrder) {
  useService();
  Served first = serve();
  Served second = serve();
  xpc::Dictionary check;
  check.setString("action", "check");

  // A message that expects no reply runs nothing and is not answered.
  sendRaw(first.client.get(), 0, 1, check);
  EXPECT_FALSE(readable(first.client.get(), 300));
  EXPECT_TRUE(env_.logLines().empty());

  // Held back on the work queue, the first connection's request then the second's.
  auto release = std::make_shared<platform::dispatch::Semaphore>();
  BramlowUpdateMain::workQueue()->async([release] { release->wait(); });
  sendRaw(first.client.get(), wire::kFlagExpectsReply, 2, check);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  sendRaw(second.client.get(), wire::kFlagExpectsReply, 1, check);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  release->signal();
  const wire::Packet later = receiveRaw(second.client.get());
  // The first reply was sent before the second's work began.
  ASSERT_TRUE(readable(first.client.get(), 0));
  const wire::Packet earlier = receiveRaw(first.client.get());
  EXPECT_EQ(earlier.header.replyTo, 2u);
  EXPECT_EQ(later.header.replyTo, 1u);
  EXPECT_FALSE(readable(first.client.get(), 100));
}

}  // namespace
