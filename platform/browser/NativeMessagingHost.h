// The browser's side of an extension's native messages: a native-messaging host. The browser
// starts the extension executable with its pipes on stdin and stdout (arguments: the caller's
// origin from Chromium, the manifest's path and the extension's ID from Firefox) and exchanges
// frames, each a 4-byte native-endian length and that many bytes of UTF-8 JSON. Every frame becomes
// one ExtensionContext whose answer goes back as one frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/browser/ExtensionContext.h"
#include "platform/env/Fd.h"

namespace platform {

// Frames longer than this are refused: their bytes are read and dropped in small pieces, never
// held, whatever length they announce.
inline constexpr std::size_t kMaximumNativeMessageSize = std::size_t{1024} * 1024;

// Requests handed out and not yet released; the next frame is read only once fewer are in flight.
// A burst of frames waits in the input, not in memory held by requests in flight.
inline constexpr std::size_t kMaximumRequestsInFlight = 16;

// Splits a byte stream into frames. Reads go through the given function, which returns up to size
// bytes, 0 at the end of input, and throws on a read error; short reads are expected.
class NativeMessageReader {
 public:
  using ReadFunction = std::function<std::size_t(void* buffer, std::size_t size)>;

  enum class Kind {
    kMessage,    // bytes holds the frame's payload
    kOversized,  // a whole frame over the limit went by; bytes is empty
    kEnd,        // end of input; a frame cut short by it is dropped
  };
  struct Frame {
    Kind kind = Kind::kEnd;
    std::string bytes;
  };

  explicit NativeMessageReader(ReadFunction read) : read_(std::move(read)) {}

  Frame next();

 private:
  // Fills buffer completely; false when input ends first.
  bool readExactly(char* buffer, std::size_t size);
  // Reads and drops size bytes; false when input ends first.
  bool skip(std::uint64_t size);

  ReadFunction read_;
};

// The first input item of a context for a frame's payload: {kExtensionMessageKey: value} when the
// payload is JSON (any JSON value: the handler decides what it accepts), no user info otherwise.
// Never throws for any input.
ExtensionItem messageItemForFrame(std::string_view payload);

// One host session over an input and an output descriptor. Every frame is answered exactly once.
class NativeMessagingHost {
 public:
  // Called once per frame on the reading thread. The handler answers through the context, then or
  // later from any thread. A context released unanswered (its handler threw, or lost it) is
  // answered with the session's unanswered response, as is one whose answer cannot be encoded.
  using RequestHandler = std::function<void(std::shared_ptr<ExtensionContext> context)>;

  NativeMessagingHost(UniqueFd input, UniqueFd output, const Json& unanswered);

  // Takes over the process's stdin and stdout: the protocol streams move to new close-on-exec
  // descriptors and 0 and 1 become /dev/null, so no child process inherits the browser's pipes and
  // no stray print can corrupt a frame. Throws std::system_error.
  static NativeMessagingHost standardStreams(const Json& unanswered);

  // Reads frames until the input ends or the output is gone, hands each to handler (waiting while
  // kMaximumRequestsInFlight contexts are unreleased), then waits until every context handed out
  // has been answered, so pending answers are written before it returns. Ignores SIGPIPE for the
  // process: a closed output makes writes fail, which ends the session quietly. A read error (other
  // than EINTR) ends the input too; it is thrown as std::system_error once the pending answers are
  // out.
  void run(const RequestHandler& handler);

  // The output and the counts of contexts in flight, shared with every context handed out.
  struct Session;

 private:
  UniqueFd input_;
  std::shared_ptr<Session> session_;
};

}  // namespace platform
