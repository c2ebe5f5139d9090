#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/NativeMessagingHost.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"

namespace {
using namespace testing_support;
using platform::Json;

std::string frame(const std::string& payload, std::uint32_t length) {
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);
  return bytes + payload;
}
std::string frame(const std::string& payload) {
  return frame(payload, static_cast<std::uint32_t>(payload.size()));
}

// Splits the host's output into answers; fails on a torn or trailing partial frame.
std::vector<Json> answers(std::string_view output) {
  std::vector<Json> result;
  while (!output.empty()) {
    std::uint32_t length = 0;
    EXPECT_GE(output.size(), sizeof length);
    if (output.size() < sizeof length) break;
    std::memcpy(&length, output.data(), sizeof length);
    EXPECT_GE(output.size() - sizeof length, length);
    result.push_back(Json::parse(output.substr(sizeof length, length)));
    output.remove_prefix(std::min<std::size_t>(output.size(), sizeof length + length));
  }
  return result;
}

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read.reset(fds[0]);
    write.reset(fds[1]);
  }
  platform::UniqueFd read, write;
};

// Answers that arrive late from other threads, all at once, still go out whole and before the
// host returns at the end of its input.
TEST(NativeMessagingHost, WritesPendingAnswersWholeBeforeItEnds) {
  Pipe input, output;
  constexpr int kCount = 40;
  std::string frames;
  for (int i = 0; i < kCount; ++i) {
    frames +=
        frame(Json{{"id", i}, {"pad", std::string(static_cast<std::size_t>(i) * 20, 'x')}}.dump());
  }
  ASSERT_EQ(::write(input.write.get(), frames.data(), frames.size()),
            static_cast<ssize_t>(frames.size()));
  input.write.reset();

  std::vector<std::thread> answering;
  platform::NativeMessagingHost host(std::move(input.read), std::move(output.write));
  host.run([&](std::shared_ptr<platform::ExtensionContext> context) {
    answering.emplace_back([context] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      context->completeRequestReturningItems({context->inputItems()[0]});
      context->completeRequestReturningItems({{Json{{"message", "a second answer"}}}});
    });
  });
  for (auto& thread : answering) thread.join();  // nothing may be written after run returns

  ASSERT_EQ(::fcntl(output.read.get(), F_SETFL, O_NONBLOCK), 0);
  std::string written(256 * 1024, '\0');
  const ssize_t got = ::read(output.read.get(), written.data(), written.size());
  written.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  std::set<int> ids;
  for (const Json& answer : answers(written)) ids.insert(answer.at("id").get<int>());
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kCount));
  EXPECT_EQ(answers(written).size(), static_cast<std::size_t>(kCount));
}

// A browser that has gone away must not kill the host with SIGPIPE.
TEST(NativeMessagingHost, EndsQuietlyWhenItsOutputIsClosed) {
  Pipe input, output;
  const std::string frames = frame(R"({"action":"info"})") + frame(R"({"action":"info"})");
  ASSERT_EQ(::write(input.write.get(), frames.data(), frames.size()),
            static_cast<ssize_t>(frames.size()));
  output.read.reset();
  platform::NativeMessagingHost host(std::move(input.read), std::move(output.write));
  host.run([](std::shared_ptr<platform::ExtensionContext> context) {
    context->completeRequestReturningItems({context->inputItems()[0]});
  });
}

// The built extension executable as the browser runs it, with stdin and stdout as its pipes.
TEST(NativeMessagingHost, ExtensionExecutableAnswersFramesInOrder) {
  const TempDir folder;
  const std::string info = R"({"action":"info"})";
  const std::string padded = info + std::string(platform::kMaximumNativeMessageSize, ' ');
  writeFile(folder.path() / "input",
            frame(info) + frame("not json") + frame("[1, 2]") +
                frame(padded.substr(0, platform::kMaximumNativeMessageSize + 1)) +
                frame(padded.substr(0, platform::kMaximumNativeMessageSize)) +
                frame(R"({"action":"check"})") +
                // Announces almost 4 GiB and ends: must be neither allocated nor answered.
                frame(R"({"action":"info"})", 0xFFFFFFF0u));
  const std::string executable =
      std::string(BRAMLOW_EXTENSION_DIR) + "/Contents/MacOS/Bramlow for Safari Extension";
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;  // the sanitizer reserves more address space than any limit allows
#else
  const std::string limit = "ulimit -v 2097152; ";
#endif
  const RunResult result =
      runProgram({"/bin/sh", "-c", limit + "exec \"$0\" chrome-extension://test/ < \"$1\"",
                  executable, (folder.path() / "input").string()},
                 {"HOME=" + folder.path().string(), "XDG_RUNTIME_DIR=" + folder.path().string(),
                  "BRAMLOW_PLATFORM_ROOT=" + folder.path().string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;

  const std::vector<Json> got = answers(result.out);
  const Json refused = {{"error", std::string(bramlow::markers::kUnsupportedOperation)}};
  ASSERT_EQ(got.size(), 6u) << result.out;
  EXPECT_TRUE(got[0].contains("nativeVersion")) << got[0];
  EXPECT_EQ(got[1], refused);
  EXPECT_EQ(got[2], refused);
  EXPECT_EQ(got[3], refused);  // one byte over the limit
  EXPECT_EQ(got[4], got[0]);   // exactly at the limit
  EXPECT_TRUE(got[5].is_object()) << got[5];
}

}  // namespace
