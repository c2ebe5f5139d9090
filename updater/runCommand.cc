#include "updater/runCommand.h"

#include <cstdint>
#include <string_view>

#include "platform/env/Env.h"
#include "shared/UpdateFailure.h"

namespace bramlow {
namespace {

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if ((lead & 0xE0) == 0xC0) {
      length = 2, minimum = 0x80, code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, minimum = 0x800, code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, minimum = 0x10000, code = lead & 0x07u;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace

void runCommand(const std::string& path, const std::vector<std::string>& arguments) {
  platform::Env& files = platform::env();
  const platform::ProcessResult result = files.runProcess(path, arguments);
  if (result.succeeded()) return;
  const std::string& text = result.standardError;
  files.log("Update command " + path + " failed: " + (isValidUtf8(text) ? text : std::string()));
  fail(markers::kCouldNotVerifyOrPrepare);
}

}  // namespace bramlow
