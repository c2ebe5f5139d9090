#include "platform/Errors.h"

#include <openssl/err.h>

#include <cerrno>

namespace platform {

std::system_error errnoError(int error, std::string_view what, std::string_view path) {
  std::string message(what);
  if (!path.empty()) {
    message += " ";
    message += path;
  }
  return std::system_error(error, std::generic_category(), message);
}

void throwErrno(std::string_view what, std::string_view path) {
  throw errnoError(errno, what, path);
}

std::string drainOpenSslErrors() {
  std::string out;
  unsigned long code = 0;
  char buffer[256];
  while ((code = ERR_get_error()) != 0) {
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!out.empty()) out += "; ";
    out += buffer;
  }
  return out;
}

}  // namespace platform
