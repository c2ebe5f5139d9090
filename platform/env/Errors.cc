// errno's half of Errors.h; the OpenSSL half is in OpenSslErrors.cc, so that a tool that never
// uses the cryptography library does not have to load it.
#include "platform/env/Errors.h"

namespace platform {
namespace {

std::string subject(std::string_view what, std::string_view path) {
  std::string message(what);
  if (!path.empty()) {
    if (!message.empty()) message += " ";
    message += path;
  }
  return message;
}

}  // namespace

std::system_error errnoError(int error, std::string_view what, std::string_view path) {
  return std::system_error(error, std::generic_category(), subject(what, path));
}

std::string errnoMessage(int error, std::string_view what, std::string_view path) {
  std::string message = subject(what, path);
  if (!message.empty()) message += ": ";
  return message + std::generic_category().message(error);
}

void throwErrno(std::string_view what, std::string_view path) {
  throw errnoError(errno, what, path);
}

}  // namespace platform
