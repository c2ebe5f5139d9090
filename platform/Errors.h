// The one place where errno and the OpenSSL error queue become exceptions and messages.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace platform {

// A std::system_error for the current errno, whose what() reads like a file manager's error:
// "<what> <path>: <strerror>". Never call with errno == 0.
[[noreturn]] void throwErrno(std::string_view what, std::string_view path = {});
std::system_error errnoError(int error, std::string_view what, std::string_view path = {});

// Drains the calling thread's OpenSSL error queue into one line (empty when the queue is empty).
std::string drainOpenSslErrors();

}  // namespace platform
