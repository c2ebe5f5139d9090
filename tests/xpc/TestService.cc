// A small XPC service for the transport tests, started by socket activation from a test bundle's
// Contents/XPCServices. Its idle delay comes from its Info.plist ("TestIdleMilliseconds").
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "platform/bundle/Bundle.h"
#include "platform/xpc/Service.h"

namespace {
namespace xpc = platform::xpc;

// Descriptors that are none of /dev/null as 0-2, sockets, pidfds, the I/O thread's epoll and the
// listing's own folder.
std::int64_t foreignDescriptors() {
  std::int64_t count = 0;
  const std::string listing = "/proc/" + std::to_string(::getpid()) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    const int fd = std::stoi(entry.path().filename().string());
    const bool expected = fd <= 2
                              ? target == "/dev/null"
                              : target.starts_with("socket:") || target == "anon_inode:[pidfd]" ||
                                    target == "anon_inode:[eventpoll]" || target == listing;
    if (!error && !expected) ++count;
  }
  return count;
}

std::int64_t entries(const char* folder) {
  return std::distance(std::filesystem::directory_iterator(folder), {});
}

void handle(const xpc::Dictionary& message, const std::shared_ptr<xpc::Connection>& connection) {
  const std::string* action = message.getString("action");
  const std::string name = action ? *action : "";
  std::optional<xpc::Dictionary> reply = message.createReply();
  if (!reply) return;
  if (name == "crash") ::_exit(3);
  if (name == "echo") {
    for (const auto& [key, value] : message.entries()) reply->setValue(key, value);
  } else if (name == "stats") {
    reply->setInt64("fds", entries("/proc/self/fd"));
    reply->setInt64("tasks", entries("/proc/self/task"));
    reply->setInt64("foreignFds", foreignDescriptors());
    reply->setInt64("parent", ::getppid());
  } else if (name == "check") {
    // The build names the reply the updater connection is to be given.
    const std::string* build = message.getString("build");
    const std::string shape = build ? *build : "";
    const auto object = [](std::size_t size) {
      return R"({"v":")" + std::string(size - 8, 'x') + R"("})";
    };
    if (shape == "error") {
      reply->setString("error", "[[Failed. =000000]]");
      reply->setData("result", object(20));
    } else if (shape == "largest") {
      reply->setData("result", object(65536));
    } else if (shape == "too large") {
      reply->setData("result", object(65537));
    } else if (shape == "array") {
      reply->setData("result", "[1]");
    } else if (shape != "neither") {
      reply->setData("result", R"({"version":"200"})");
    }
  }
  reply->setInt64("pid", ::getpid());
  connection->sendMessage(*reply);
}

}  // namespace

int main() {
  const platform::Bundle bundle = platform::Bundle::main();
  const auto* idle = bundle.objectForInfoDictionaryKey("TestIdleMilliseconds");
  if (idle && idle->string()) {
    xpc::setIdleExitDelayForTesting(std::chrono::milliseconds(std::stol(*idle->string())));
  }
  xpc::serviceMain([](const std::shared_ptr<xpc::Connection>& connection) {
    connection->setEventHandler([connection](const xpc::Object& event) {
      if (const xpc::Dictionary* message = xpc::asDictionary(event)) handle(*message, connection);
    });
    connection->resume();
  });
}
