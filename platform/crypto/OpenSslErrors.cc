#include <openssl/err.h>

#include "platform/env/Errors.h"

namespace platform {

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
