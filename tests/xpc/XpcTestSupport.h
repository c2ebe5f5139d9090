// A test XPC service installed in a test host bundle, and synchronous calls to it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "platform/Dispatch.h"
#include "platform/xpc/Connection.h"
#include "tests/support/TestSupport.h"

namespace testing_support {

inline constexpr const char* kTestServiceName = "com.bramlow.test.xpc";

// Copies the test service executable into folder/Host.app/Contents/XPCServices/TestService.xpc
// (a copy: a symbolic link would make the service find its bundle in the build folder) and returns
// the services folder.
inline std::filesystem::path installTestService(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  const fs::path services = folder / "Host.app" / "Contents" / "XPCServices";
  const fs::path bundle = services / "TestService.xpc";
  fs::create_directories(bundle / "Contents" / "MacOS");
  fs::copy_file(XPC_TEST_SERVICE, bundle / "Contents" / "MacOS" / "TestService");
  writeInfoPlist(bundle, {{"CFBundleIdentifier", kTestServiceName},
                          {"CFBundleExecutable", "TestService"},
                          {"TestIdleMilliseconds", "300"}});
  return services;
}

// Sends message and waits for its answer (a reply or an error object).
inline platform::xpc::Object call(platform::xpc::Connection& connection,
                                  const platform::xpc::Dictionary& message) {
  auto queue = platform::dispatch::Queue::create("test.reply");
  platform::dispatch::Semaphore done;
  std::optional<platform::xpc::Object> answer;
  connection.sendMessageWithReply(message, queue, [&](const platform::xpc::Object& reply) {
    answer = reply;
    done.signal();
  });
  if (!done.waitFor(std::chrono::seconds(20))) {
    ADD_FAILURE() << "no answer";
    return platform::xpc::Error::kConnectionInvalid;
  }
  return *answer;
}

inline platform::xpc::Dictionary request(const std::string& action) {
  platform::xpc::Dictionary message;
  message.setString("action", action);
  return message;
}

// Whether the process is gone, or a zombie (nobody may reap it in a container), within the timeout.
inline bool processEnds(pid_t pid, std::chrono::seconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (std::string line;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!std::getline(stat, line) || line.compare(line.rfind(')') + 2, 1, "Z") == 0) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
}

}  // namespace testing_support
