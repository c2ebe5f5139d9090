// The one place where errno and the OpenSSL error queue become exceptions and messages, and the
// one place where a system call interrupted by a signal is retried.
#pragma once

#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>

namespace platform {

// A std::system_error for the current errno, whose what() reads like a file manager's error:
// "<what> <path>: <strerror>". Never call with errno == 0.
[[noreturn]] void throwErrno(std::string_view what, std::string_view path = {});
std::system_error errnoError(int error, std::string_view what, std::string_view path = {});

// errnoError's text, for errors that carry their own type (a signing status, a tool's failure).
std::string errnoMessage(int error, std::string_view what = {}, std::string_view path = {});

// Calls `call` again while it fails with EINTR and returns its last result, errno intact. For
// calls that report failure as -1; never for close(), whose descriptor is gone after EINTR.
template <typename Call>
auto retryOnEintr(Call&& call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Drains the calling thread's OpenSSL error queue into one line (empty when the queue is empty).
std::string drainOpenSslErrors();

}  // namespace platform
