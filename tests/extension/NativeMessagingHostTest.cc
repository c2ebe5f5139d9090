#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <set>
#include <thread>

#include "platform/browser/NativeMessagingHost.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"

namespace {
using namespace testing_support;
using platform::Json;

// A frame announcing length bytes (the payload's size unless given).
std::string frame(const std::string& payload, std::optional<std::uint32_t> length = {}) {
  const std::uint32_t announced = length.value_or(static_cast<std::uint32_t>(payload.size()));
  return std::string(reinterpret_cast<const char*>(&announced), sizeof announced) + payload;
}

// Splits the host's output into answers; a torn frame fails.
std::vector<Json> answers(std::string_view output) {
  std::vector<Json> result;
  for (std::uint32_t length = 0; output.size() >= sizeof length; output.remove_prefix(length)) {
    std::memcpy(&length, output.data(), sizeof length);
    output.remove_prefix(sizeof length);
    if (output.size() < length) break;
    result.push_back(Json::parse(output.substr(0, length)));
  }
  EXPECT_TRUE(output.empty()) << "torn frame";
  return result;
}

const Json kUnanswered = {{"error", "unanswered"}};

// Runs a host in this process over frames and returns its answers.
std::vector<Json> hostAnswers(const std::string& frames,
                              const platform::NativeMessagingHost::RequestHandler& handler) {
  const TempDir folder;
  const std::filesystem::path input = folder.path() / "input", output = folder.path() / "output";
  writeFile(input, frames);
  platform::NativeMessagingHost(
      platform::UniqueFd(::open(input.c_str(), O_RDONLY | O_CLOEXEC)),
      platform::UniqueFd(::open(output.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)), kUnanswered)
      .run(handler);
  return answers(readFile(output));
}

// Answers that arrive late from other threads, all at once, still go out whole, once each, and
// before the host returns at the end of its input; no more requests are in flight than the bound;
// a frame that input cuts short is no request.
TEST(NativeMessagingHost, WritesPendingAnswersWholeBeforeItEnds) {
  std::string frames;
  for (std::size_t i = 0; i < 40; ++i)
    frames += frame(Json{{"id", i}, {"pad", std::string(i * 20, 'x')}}.dump());
  frames += frame("{}", 3);  // cut short by the end of the input: no request
  std::vector<std::thread> answering;
  auto inFlight = std::make_shared<std::atomic<std::size_t>>(0);
  std::size_t most = 0;
  const std::vector<Json> got =
      hostAnswers(frames, [&](const std::shared_ptr<platform::ExtensionContext>& context) {
        most = std::max(most, ++*inFlight);
        answering.emplace_back([context = context, inFlight]() mutable {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          context->completeRequestReturningItems({context->inputItems()[0]});
          context->completeRequestReturningItems({});
          --*inFlight;
          context.reset();
        });
      });
  for (auto& thread : answering) thread.join();
  std::set<int> ids;
  for (const Json& answer : got) ids.insert(answer.at("id").get<int>());
  EXPECT_EQ(ids.size(), 40u);
  EXPECT_EQ(got.size(), 40u);
  EXPECT_LE(most, platform::kMaximumRequestsInFlight);
}

// A request is answered exactly once whatever its handler does; the session goes on.
TEST(NativeMessagingHost, EveryFrameIsAnsweredOnceWhateverTheHandlerDoes) {
  using Context = std::shared_ptr<platform::ExtensionContext>;
  const Json message = {{"action", "check"}};
  const struct {
    const char* name;
    std::function<void(const Context&)> handle;
    Json expected;
  } rows[] = {
      {"throws before answering", [](const Context&) { throw std::bad_alloc(); }, kUnanswered},
      {"throws what is no exception", [](const Context&) { throw 7; }, kUnanswered},
      {"throws after answering",
       [](const Context& context) {
         context->completeRequestReturningItems({context->inputItems()[0]});
         throw std::runtime_error("bug");
       },
       message},
      {"drops it unanswered", [](const Context&) {}, kUnanswered},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(hostAnswers(frame(message.dump()) + frame(message.dump()), row.handle),
              std::vector<Json>(2, row.expected));
  }
}

// The built extension executable as the browser runs it, with stdin and stdout as its pipes.
TEST(NativeMessagingHost, ExtensionExecutableAnswersFramesInOrder) {
  const TempDir folder;
  const std::string info = R"({"action":"info"})";
  const std::string padded = info + std::string(platform::kMaximumNativeMessageSize, ' ');
  writeFile(folder.path() / "input",
            frame(info) + frame("not json") +
                frame(padded.substr(0, platform::kMaximumNativeMessageSize + 1)) +
                // Nested far beyond the bound, well under the size limit.
                frame(std::string(200000, '[') + std::string(200000, ']')) +
                frame(padded.substr(0, platform::kMaximumNativeMessageSize)) +
                frame(R"({"action":"check"})") +
                // Announces almost 4 GiB and ends: must be neither allocated nor answered.
                frame(info, 0xFFFFFFF0u));
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;  // the sanitizer reserves more address space than any limit allows
#else
  const std::string limit = "ulimit -v 2097152; ";
#endif
  const RunResult result = runProgram(
      {"/bin/sh", "-c", limit + "exec \"$0\" chrome-extension://test/ < \"$1\"",
       std::string(BRAMLOW_EXTENSION_DIR) + "/Contents/MacOS/Bramlow for Safari Extension",
       (folder.path() / "input").string()},
      {"HOME=" + folder.path().string(), "XDG_RUNTIME_DIR=" + folder.path().string(),
       "BRAMLOW_PLATFORM_ROOT=" + folder.path().string()});
  // The "check" started the updater, which would idle on past the folder's removal.
  killProcessesWithEnvironment("BRAMLOW_PLATFORM_ROOT=" + folder.path().string());
  EXPECT_EQ(result.exitCode, 0) << result.err;

  const std::vector<Json> got = answers(result.out);
  const Json refused = {{"error", std::string(bramlow::markers::kUnsupportedOperation)}};
  ASSERT_EQ(got.size(), 6u) << result.out;
  EXPECT_TRUE(got[0].contains("nativeVersion")) << got[0];
  EXPECT_EQ(std::vector<Json>(got.begin() + 1, got.begin() + 4), std::vector<Json>(3, refused));
  EXPECT_EQ(got[4], got[0]);  // exactly at the limit
  EXPECT_TRUE(got[5].is_object()) << got[5];
}

}  // namespace
