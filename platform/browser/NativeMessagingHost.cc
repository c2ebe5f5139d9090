#include "platform/browser/NativeMessagingHost.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <exception>
#include <mutex>

#include "platform/env/Env.h"
#include "platform/env/Errors.h"

namespace platform {

namespace {

// Oversized frames are dropped through a buffer of this size.
constexpr std::size_t kSkipChunk = std::size_t{16} * 1024;

// One whole frame for a response. Invalid UTF-8 in a string is replaced rather than thrown: an
// answer must always go out.
std::string frameFor(const Json& response) {
  const std::string body = response.dump(-1, ' ', false, Json::error_handler_t::replace);
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string frame(sizeof length, '\0');
  std::memcpy(frame.data(), &length, sizeof length);
  return frame + body;
}

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
    // Moved in, never copied: a copy of a parsed value recurses once per level of nesting.
    Json userInfo = Json::object();
    userInfo[kExtensionMessageKey] = parseJson(payload, /*allowFragments=*/true);
    return {std::move(userInfo)};
  } catch (const JsonError&) {
    return {};
  }
}

// What the reading thread and every context share: the output, written by one writer at a time,
// and the counts of contexts not yet answered and not yet released.
struct NativeMessagingHost::Session {
  Session(UniqueFd fd, std::string unansweredFrame)
      : output(std::move(fd)), unanswered(std::move(unansweredFrame)) {}

  // Writes one whole frame, unless the output has already failed.
  void write(const std::string& frame) {
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
    ++live;
  }

  void answered() {
    const std::lock_guard lock(mutex);
    --pending;
    changed.notify_all();
  }

  void released() {
    const std::lock_guard lock(mutex);
    --live;
    changed.notify_all();
  }

  bool outputBroken() {
    const std::lock_guard lock(mutex);
    return broken;
  }

  UniqueFd output;
  // The frame of a context released without an answer; made in advance, so that giving it never
  // needs memory.
  const std::string unanswered;
  std::mutex mutex;
  std::condition_variable changed;
  bool broken = false;
  std::size_t pending = 0;  // handed out, not answered
  std::size_t live = 0;     // handed out, not released
};

namespace {

class HostContext final : public ExtensionContext {
 public:
  HostContext(std::shared_ptr<NativeMessagingHost::Session> session, ExtensionItem item)
      : session_(std::move(session)) {
    items_.push_back(std::move(item));  // not an initializer list, which would copy the message
    session_->started();
  }
  HostContext(const HostContext&) = delete;
  HostContext& operator=(const HostContext&) = delete;

  ~HostContext() override {
    // Released without an answer (its handler failed or lost it): nothing else can answer it.
    if (!answered_.exchange(true)) {
      session_->write(session_->unanswered);
      session_->answered();
    }
    session_->released();
  }

  const std::vector<ExtensionItem>& inputItems() const override { return items_; }

  void completeRequestReturningItems(std::vector<ExtensionItem> items) override {
    if (answered_.exchange(true)) return;
    std::string frame;
    try {
      Json response;  // null when the answer carries no message
      if (!items.empty() && items.front().userInfo && items.front().userInfo->is_object()) {
        const auto found = items.front().userInfo->find(kExtensionMessageKey);
        if (found != items.front().userInfo->end()) response = std::move(*found);
      }
      frame = frameFor(response);
    } catch (const std::exception&) {
      // Out of memory for the answer: the request still gets one.
    }
    session_->write(frame.empty() ? session_->unanswered : frame);
    session_->answered();
  }

 private:
  std::shared_ptr<NativeMessagingHost::Session> session_;
  std::vector<ExtensionItem> items_;
  std::atomic<bool> answered_{false};
};

}  // namespace

NativeMessagingHost::NativeMessagingHost(UniqueFd input, UniqueFd output, const Json& unanswered)
    : input_(std::move(input)),
      session_(std::make_shared<Session>(std::move(output), frameFor(unanswered))) {}

NativeMessagingHost NativeMessagingHost::standardStreams(const Json& unanswered) {
  UniqueFd input(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
  if (!input) throwErrno("Could not take over the message input");
  UniqueFd output(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  if (!output) throwErrno("Could not take over the message output");
  const UniqueFd null = env().open("/dev/null", O_RDWR);
  if (::dup2(null.get(), STDIN_FILENO) < 0 || ::dup2(null.get(), STDOUT_FILENO) < 0) {
    throwErrno("Could not detach the standard streams");
  }
  return {std::move(input), std::move(output), unanswered};
}

void NativeMessagingHost::run(const RequestHandler& handler) {
  ::signal(SIGPIPE, SIG_IGN);
  NativeMessageReader reader(
      [fd = input_.get()](void* buffer, std::size_t size) { return env().read(fd, buffer, size); });
  std::exception_ptr readError;
  try {
    while (!session_->outputBroken()) {
      {
        // A burst waits in the input until requests in flight are done.
        std::unique_lock lock(session_->mutex);
        session_->changed.wait(lock, [this] { return session_->live < kMaximumRequestsInFlight; });
      }
      NativeMessageReader::Frame frame = reader.next();
      if (frame.kind == NativeMessageReader::Kind::kEnd) break;
      // An oversized frame is still a request: it is handed on without a message, to be refused.
      auto context =
          std::make_shared<HostContext>(session_, frame.kind == NativeMessageReader::Kind::kMessage
                                                      ? messageItemForFrame(frame.bytes)
                                                      : ExtensionItem{});
      try {
        handler(std::move(context));
      } catch (...) {
        // A handler that failed has released its context, which answered for it.
      }
    }
  } catch (const std::exception&) {
    readError = std::current_exception();
  }
  std::unique_lock lock(session_->mutex);
  session_->changed.wait(lock, [this] { return session_->pending == 0; });
  lock.unlock();
  if (readError) std::rethrow_exception(readError);
}

}  // namespace platform
