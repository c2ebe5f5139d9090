#include "platform/NativeMessagingHost.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <exception>
#include <mutex>

#include "platform/Env.h"
#include "platform/Errors.h"

namespace platform {

namespace {

// Oversized frames are dropped through a buffer of this size.
constexpr std::size_t kSkipChunk = std::size_t{16} * 1024;

}  // namespace

NativeMessageReader::Frame NativeMessageReader::next() {
  char header[sizeof(std::uint32_t)];
  if (!readExactly(header, sizeof header)) return {};
  std::uint32_t length = 0;
  std::memcpy(&length, header, sizeof length);
  if (length > kMaximumNativeMessageSize) {
    // The announced length is only a claim of the peer: never allocate by it.
    if (!skip(length)) return {};
    return {Kind::kOversized, {}};
  }
  std::string bytes(length, '\0');
  if (!readExactly(bytes.data(), bytes.size())) return {};
  return {Kind::kMessage, std::move(bytes)};
}

bool NativeMessageReader::readExactly(char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const std::size_t got = read_(buffer + done, size - done);
    if (got == 0) return false;
    done += got;
  }
  return true;
}

bool NativeMessageReader::skip(std::uint64_t size) {
  char buffer[kSkipChunk];
  while (size > 0) {
    const std::size_t want = size < kSkipChunk ? static_cast<std::size_t>(size) : kSkipChunk;
    const std::size_t got = read_(buffer, want);
    if (got == 0) return false;
    size -= got;
  }
  return true;
}

ExtensionItem messageItemForFrame(std::string_view payload) {
  try {
    return {Json::object({{kExtensionMessageKey, parseJson(payload, /*allowFragments=*/true)}})};
  } catch (const JsonError&) {
    return {};
  }
}

// What the reading thread and every context share: the output, written by one writer at a time,
// and the count of contexts not yet answered.
struct NativeMessagingHost::Session {
  explicit Session(UniqueFd fd) : output(std::move(fd)) {}

  // Writes one whole frame, unless the output has already failed.
  void answer(const Json& response) {
    // Invalid UTF-8 in a string is replaced rather than thrown: an answer must always go out.
    const std::string body = response.dump(-1, ' ', false, Json::error_handler_t::replace);
    const auto length = static_cast<std::uint32_t>(body.size());
    std::string frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    frame += body;
    const std::lock_guard lock(mutex);
    if (broken) return;
    try {
      env().writeAll(output.get(), frame.data(), frame.size());
    } catch (const std::exception&) {
      // The browser has gone (EPIPE) or the pipe broke: nobody can read any later answer.
      broken = true;
    }
  }

  void started() {
    const std::lock_guard lock(mutex);
    ++pending;
  }

  void finished() {
    const std::lock_guard lock(mutex);
    --pending;
    if (pending == 0) idle.notify_all();
  }

  bool outputBroken() {
    const std::lock_guard lock(mutex);
    return broken;
  }

  UniqueFd output;
  std::mutex mutex;
  std::condition_variable idle;
  bool broken = false;
  std::size_t pending = 0;
};

namespace {

class HostContext final : public ExtensionContext {
 public:
  HostContext(std::shared_ptr<NativeMessagingHost::Session> session, ExtensionItem item)
      : session_(std::move(session)), items_{std::move(item)} {
    session_->started();
  }
  HostContext(const HostContext&) = delete;
  HostContext& operator=(const HostContext&) = delete;

  ~HostContext() override {
    // Released without an answer: nothing can answer it any more, so the host must not wait.
    if (!answered_.exchange(true)) session_->finished();
  }

  const std::vector<ExtensionItem>& inputItems() const override { return items_; }

  void completeRequestReturningItems(std::vector<ExtensionItem> items) override {
    if (answered_.exchange(true)) return;
    Json response;  // null when the answer carries no message
    if (!items.empty() && items.front().userInfo && items.front().userInfo->is_object()) {
      const auto found = items.front().userInfo->find(kExtensionMessageKey);
      if (found != items.front().userInfo->end()) response = *found;
    }
    session_->answer(response);
    session_->finished();
  }

 private:
  std::shared_ptr<NativeMessagingHost::Session> session_;
  std::vector<ExtensionItem> items_;
  std::atomic<bool> answered_{false};
};

}  // namespace

NativeMessagingHost::NativeMessagingHost(UniqueFd input, UniqueFd output)
    : input_(std::move(input)), session_(std::make_shared<Session>(std::move(output))) {}

NativeMessagingHost NativeMessagingHost::standardStreams() {
  UniqueFd input(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
  if (!input) throwErrno("Could not take over the message input");
  UniqueFd output(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  if (!output) throwErrno("Could not take over the message output");
  const UniqueFd null = env().open("/dev/null", O_RDWR);
  if (::dup2(null.get(), STDIN_FILENO) < 0 || ::dup2(null.get(), STDOUT_FILENO) < 0) {
    throwErrno("Could not detach the standard streams");
  }
  return {std::move(input), std::move(output)};
}

void NativeMessagingHost::run(const RequestHandler& handler) {
  ::signal(SIGPIPE, SIG_IGN);
  NativeMessageReader reader(
      [fd = input_.get()](void* buffer, std::size_t size) { return env().read(fd, buffer, size); });
  std::exception_ptr readError;
  try {
    while (!session_->outputBroken()) {
      NativeMessageReader::Frame frame = reader.next();
      if (frame.kind == NativeMessageReader::Kind::kEnd) break;
      // An oversized frame is still a request: it is handed on without a message, to be refused.
      auto context =
          std::make_shared<HostContext>(session_, frame.kind == NativeMessageReader::Kind::kMessage
                                                      ? messageItemForFrame(frame.bytes)
                                                      : ExtensionItem{});
      try {
        handler(std::move(context));
      } catch (const std::exception&) {
        // A handler that failed has released its context, which no longer holds the host up.
      }
    }
  } catch (const std::exception&) {
    readError = std::current_exception();
  }
  std::unique_lock lock(session_->mutex);
  session_->idle.wait(lock, [this] { return session_->pending == 0; });
  lock.unlock();
  if (readError) std::rethrow_exception(readError);
}

}  // namespace platform
