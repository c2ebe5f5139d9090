// A test XPC service installed in a test host bundle, and synchronous calls to it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "platform/process/Dispatch.h"
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

// Sends message and waits for its answer (a reply or an error object). The reply handler holds
// its own state: it may still fire after the wait has given up.
inline platform::xpc::Object call(platform::xpc::Connection& connection,
                                  const platform::xpc::Dictionary& message) {
  auto answer = std::make_shared<std::promise<platform::xpc::Object>>();
  std::future<platform::xpc::Object> future = answer->get_future();
  connection.sendMessageWithReply(
      message, platform::dispatch::Queue::create("test.reply"),
      [answer](const platform::xpc::Object& reply) { answer->set_value(reply); });
  if (future.wait_for(std::chrono::seconds(20)) == std::future_status::ready) return future.get();
  ADD_FAILURE() << "no answer";
  return platform::xpc::Error::kConnectionInvalid;
}

inline platform::xpc::Dictionary request(const std::string& action) {
  platform::xpc::Dictionary message;
  message.setString("action", action);
  return message;
}

// Whether the process ends within the timeout.
inline bool processEnds(pid_t pid, std::chrono::seconds timeout = std::chrono::seconds(10)) {
  return waitUntil(timeout, [pid] { return processEnded(pid); });
}

}  // namespace testing_support
