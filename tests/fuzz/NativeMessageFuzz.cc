// Native-message frames come from the browser, that is from any web content the extension talks
// to: whatever the byte stream, the reader hands out whole frames within the limit, arriving in
// pieces of any size, and turning a payload into a request never throws.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/NativeMessagingHost.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t offset = 0;
  std::size_t reads = 0;
  platform::NativeMessageReader reader([&](void* buffer, std::size_t want) {
    // Short reads of 1 to 7 bytes, with every eighth read as long as it may be.
    const std::size_t piece = ++reads % 8 == 0 ? want : std::min<std::size_t>(want, reads % 8);
    const std::size_t n = std::min(piece, size - offset);
    std::memcpy(buffer, data + offset, n);
    offset += n;
    return n;
  });
  for (;;) {
    const platform::NativeMessageReader::Frame frame = reader.next();
    if (frame.kind == platform::NativeMessageReader::Kind::kEnd) break;
    if (frame.bytes.size() > platform::kMaximumNativeMessageSize) __builtin_trap();
    if (frame.kind == platform::NativeMessageReader::Kind::kOversized && !frame.bytes.empty()) {
      __builtin_trap();
    }
    const platform::ExtensionItem item = platform::messageItemForFrame(frame.bytes);
    if (item.userInfo && !item.userInfo->contains(platform::kExtensionMessageKey)) __builtin_trap();
  }
  if (offset != size) __builtin_trap();
  return 0;
}
