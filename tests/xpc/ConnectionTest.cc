// The XPC stand-in between two real processes: the test is the client, the test service is
// started by socket activation from a test bundle.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/xpc/Rendezvous.h"
#include "platform/xpc/Wire.h"
#include "tests/xpc/XpcTestSupport.h"

namespace {
namespace fs = std::filesystem;
namespace xpc = platform::xpc;
using platform::dispatch::Queue;
using platform::dispatch::Semaphore;
using testing_support::call;
using testing_support::request;

std::int64_t entries(const char* folder) {
  return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
}

class ConnectionTest : public ::testing::Test {
 protected:
  ConnectionTest() : services_(testing_support::installTestService(dir_.path())) {
    xpc::Connection::setServicesFolderForTesting(services_);
  }
  ~ConnectionTest() override {
    for (auto& connection : connections_) connection->cancel();
    drain();
    xpc::Connection::setServicesFolderForTesting({});
    // Nothing outlives the test: the service ends once idle.
    for (const pid_t pid : pids_) EXPECT_TRUE(testing_support::processEnds(pid)) << pid;
  }

  std::shared_ptr<xpc::Connection> connect(
      const std::string& name = testing_support::kTestServiceName) {
    auto connection = xpc::Connection::create(name, queue_);
    connection->setEventHandler([this](const xpc::Object& event) {
      if (std::holds_alternative<xpc::Error>(event)) ++errors_;
    });
    connection->resume();
    connections_.push_back(connection);
    return connection;
  }

  // The service's pid from an echo, remembered so that the test checks it ends.
  pid_t echoPid(xpc::Connection& connection) {
    const xpc::Object reply = call(connection, request("echo"));
    const xpc::Dictionary* dictionary = xpc::asDictionary(reply);
    if (!dictionary) return 0;
    const auto pid = static_cast<pid_t>(dictionary->getInt64("pid"));
    const std::lock_guard lock(mutex_);
    pids_.insert(pid);
    return pid;
  }

  // Waits until every event queued so far has been handled.
  void drain() {
    auto drained = std::make_shared<Semaphore>();
    queue_->async([drained] { drained->signal(); });
    EXPECT_TRUE(drained->waitFor(std::chrono::seconds(20))) << "events still queued";
  }

  // The error events so far, once there are at least count (they follow the replies shortly).
  int errors(int count = 0) {
    testing_support::waitUntil(std::chrono::seconds(10), [&] { return errors_ >= count; });
    return errors_;
  }

  testing_support::TempDir dir_;
  fs::path services_;
  std::shared_ptr<Queue> queue_ = Queue::create("test.connection");
  std::vector<std::shared_ptr<xpc::Connection>> connections_;
  std::mutex mutex_;
  std::atomic<int> errors_{0};
  std::set<pid_t> pids_;
};

TEST_F(ConnectionTest, RoundTripBetweenProcesses) {
  auto connection = connect();
  xpc::Dictionary message = request("echo");
  message.setString("text", "héllo");
  message.setBool("flag", true);
  message.setData("bytes", std::string("\0\1\2", 3));
  message.setInt64("n", -7);
  const auto reply = std::get<xpc::Dictionary>(call(*connection, message));
  const pid_t pid = static_cast<pid_t>(reply.getInt64("pid"));
  pids_.insert(pid);
  message.setInt64("pid", pid);
  EXPECT_EQ(reply, message);

  // The kernel names the sender: the service, a process of its own, not a child of the client.
  EXPECT_EQ(reply.remoteSender().pid, pid);
  const std::string pidfd = std::to_string(reply.remoteSender().pidfd);
  EXPECT_NE(testing_support::readFile("/proc/self/fdinfo/" + pidfd)
                .find("\nPid:\t" + std::to_string(pid) + "\n"),
            std::string::npos);
  // It inherited nothing but /dev/null as 0-2 and the listener: it holds sockets and pidfds only.
  const xpc::Dictionary stats = std::get<xpc::Dictionary>(call(*connection, request("stats")));
  EXPECT_NE(stats.getInt64("parent"), ::getpid());
  EXPECT_EQ(stats.getInt64("foreignFds"), 0);
  EXPECT_EQ(errors(), 0);
}

// No such service, a service that dies before replying: each request is answered once, with an
// error, and the connection reports one error event.
TEST_F(ConnectionTest, UnreachableOrDyingServiceAnswersOnce) {
  for (const auto& [name, action, kind] :
       {std::tuple("com.bramlow.test.missing", "echo", xpc::Error::kConnectionInvalid),
        std::tuple(testing_support::kTestServiceName, "crash",
                   xpc::Error::kConnectionInterrupted)}) {
    SCOPED_TRACE(name);
    errors_ = 0;
    auto connection = connect(name);
    auto answers = std::make_shared<std::vector<xpc::Object>>();  // on queue_ only
    connection->sendMessageWithReply(request(action), queue_, [answers](const xpc::Object& reply) {
      answers->push_back(reply);
    });
    EXPECT_EQ(errors(1), 1);
    connection->cancel();
    drain();
    EXPECT_EQ(*answers, std::vector<xpc::Object>{kind});
    EXPECT_EQ(errors(), 1);
  }
}

// A rendezvous folder too deep for a socket address (a caches folder in a long home) fails with
// that reason, never with a socket bound or reached at a shortened path.
TEST_F(ConnectionTest, ASocketPathTooLongIsRefusedNotShortened) {
  const fs::path deep = dir_.path() / std::string(100, 'd');
  fs::create_directory(deep);
  fs::permissions(deep, fs::perms::owner_all);
  const testing_support::ScopedEnvironment environment({{"XDG_RUNTIME_DIR", deep.string()}});
  EXPECT_THAT([&] { xpc::rendezvous::findService(testing_support::kTestServiceName, services_); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  ::testing::HasSubstr("more than a socket address holds")));
}

TEST_F(ConnectionTest, BadPacketsInvalidateOnlyTheirConnection) {
  auto connection = connect();
  const pid_t pid = echoPid(*connection);
  const auto fds = [&] {
    return std::get<xpc::Dictionary>(call(*connection, request("stats"))).getInt64("fds");
  };
  const std::int64_t fdsBefore = fds();
  const auto service = xpc::rendezvous::findService(testing_support::kTestServiceName, services_);
  const struct {
    const char* name;
    std::string packet;
    bool withDescriptor = false;
  } kCases[] = {
      {"garbage", "not a message at all"},
      {"zero-length", ""},
      {"oversized", std::string(xpc::wire::kMaxPacketSize + 1, 'x')},
      {"reply to nothing", xpc::wire::encode({0, 1, 99}, request("echo"))},
      {"request carrying a descriptor",
       xpc::wire::encode({xpc::wire::kFlagExpectsReply, 1, 0}, request("echo")), true},
  };
  for (const auto& [name, packet, withDescriptor] : kCases) {
    platform::UniqueFd raw = xpc::rendezvous::tryConnect(service);
    ASSERT_TRUE(raw) << name;
    char buffer[512];
    ASSERT_GT(testing_support::readWithin(raw.get(), buffer, sizeof buffer), 0)
        << name << ": greeting";
    iovec data{const_cast<char*>(packet.data()), packet.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{nullptr, 0, &data, 1, control, withDescriptor ? sizeof control : 0, 0};
    if (withDescriptor) {
      *CMSG_FIRSTHDR(&header) = {CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
      const int descriptor = raw.get();
      std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&header)), &descriptor, sizeof descriptor);
    }
    ASSERT_EQ(::sendmsg(raw.get(), &header, MSG_NOSIGNAL), static_cast<ssize_t>(packet.size()))
        << name;
    EXPECT_EQ(testing_support::readWithin(raw.get(), buffer, sizeof buffer), 0)
        << name << ": not closed by the service";
    EXPECT_EQ(echoPid(*connection), pid) << name;
  }
  // What arrived with the packets was closed with their connections.
  EXPECT_TRUE(
      testing_support::waitUntil(std::chrono::seconds(5), [&] { return fds() == fdsBefore; }));
  EXPECT_EQ(errors(), 0);
}

// A rendezvous folder that others may write, or an activation lock another client holds: the
// client reaches no service and starts none.
TEST_F(ConnectionTest, NoServiceThroughAnOpenFolderOrPastAHeldLock) {
  const fs::path runtime = dir_.path() / "run";
  fs::create_directory(runtime);
  const testing_support::ScopedEnvironment environment{{{"XDG_RUNTIME_DIR", runtime.string()}}};
  const auto service = xpc::rendezvous::findService(testing_support::kTestServiceName, services_);
  for (const fs::perms open : {fs::perms::group_write, fs::perms::others_write}) {
    fs::permissions(runtime / "bramlow-xpc", fs::perms::owner_all | open);
    EXPECT_TRUE(std::holds_alternative<xpc::Error>(call(*connect(), request("echo"))));
  }
  fs::permissions(runtime / "bramlow-xpc", fs::perms::owner_all);
  EXPECT_FALSE(fs::exists(service.socketPath));

  const platform::UniqueFd lock(
      ::open(service.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(::flock(lock.get(), LOCK_SH), 0);
  auto waiting = connect();
  auto answered = std::make_shared<Semaphore>();
  waiting->sendMessageWithReply(request("echo"), Queue::create("test.waiting"),
                                [answered](const xpc::Object&) { answered->signal(); });
  EXPECT_FALSE(answered->waitFor(std::chrono::milliseconds(500)));
  EXPECT_FALSE(fs::exists(service.socketPath));
  ASSERT_EQ(::flock(lock.get(), LOCK_UN), 0);
  EXPECT_TRUE(answered->waitFor(std::chrono::seconds(20)));
  EXPECT_NE(echoPid(*waiting), 0);
}

// Racing clients start one service; a thousand requests leak nothing on either side; once the
// clients are gone the service exits, and is started again on demand.
TEST_F(ConnectionTest, RacingClientsShareOneServiceLeakNothingAndRestartIt) {
  const auto clientCounts = [] {
    return std::pair(entries("/proc/self/fd"), entries("/proc/self/task"));
  };
  const auto serviceCounts = [](xpc::Connection& connection) {
    const xpc::Dictionary stats = std::get<xpc::Dictionary>(call(connection, request("stats")));
    return std::pair(stats.getInt64("fds"), stats.getInt64("tasks"));
  };
  // The process's I/O thread and its epoll stay: counted from a first connection on.
  const auto first = connect();
  (void)echoPid(*first);
  const auto clientBefore = clientCounts();
  const std::int64_t serviceThreadsAlone = serviceCounts(*first).second;
  std::vector<std::shared_ptr<xpc::Connection>> made(10);
  std::vector<pid_t> pids(10);
  for (auto& connection : made) connection = connect();
  const auto race = [&](int requests) {
    std::vector<std::jthread> clients;
    for (int i = 0; i < 10; ++i) {
      clients.emplace_back([&, i] {
        for (int n = 0; n < requests; ++n) pids[i] = echoPid(*made[i]);
      });
    }
  };
  race(1);
  const auto serviceWithAll = serviceCounts(*made[0]);
  // Threads do not grow with connections, on either side.
  EXPECT_EQ(serviceWithAll.second, serviceThreadsAlone);
  EXPECT_EQ(clientCounts().second, clientBefore.second);
  race(100);
  EXPECT_EQ(serviceCounts(*made[0]), serviceWithAll);
  EXPECT_NE(pids[0], 0);
  EXPECT_EQ(std::set<pid_t>(pids.begin(), pids.end()), std::set<pid_t>{pids[0]});

  for (auto& connection : made) connection->cancel();
  first->cancel();
  ASSERT_TRUE(testing_support::processEnds(pids[0]));
  connections_ = {first};
  made.clear();
  // Not more than before: a reply being released on a worker may have counted then.
  EXPECT_TRUE(testing_support::waitUntil(std::chrono::seconds(5), [&] {
    const auto now = clientCounts();
    return now.first <= clientBefore.first && now.second <= clientBefore.second;
  }));
  const pid_t again = echoPid(*connect());
  EXPECT_NE(again, 0);
  EXPECT_NE(again, pids[0]);
}

TEST_F(ConnectionTest, MessagesFromAnotherUserAreRefused) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to send as another user";
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
  platform::UniqueFd client(ends[0]);
  xpc::rendezvous::prepareSocket(ends[1]);
  auto connection = xpc::Connection::acceptedForTesting(platform::UniqueFd(ends[1]), queue_);
  connection->setEventHandler([this](const xpc::Object& event) {
    EXPECT_FALSE(xpc::asDictionary(event)) << "a message from another user got through";
    if (!xpc::asDictionary(event)) ++errors_;
  });
  connection->resume();
  const std::string packet = xpc::wire::encode({0, 1, 0}, request("echo"));
  const pid_t child = ::fork();
  if (child == 0) {
    const bool sent = ::setuid(65534) == 0 &&
                      ::send(client.get(), packet.data(), packet.size(), MSG_NOSIGNAL) > 0;
    ::_exit(sent ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(errors(1), 1);
  connection->cancel();
  drain();
  EXPECT_EQ(errors(), 1);
}

}  // namespace
