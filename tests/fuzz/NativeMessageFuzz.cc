// Native-message frames come from the browser, that is from any web content the extension talks
// to: whatever the byte stream, the reader hands out whole frames within the limit, arriving in
// pieces of any size, and turning a payload into a request never throws.
#include <algorithm>
#include <cstring>

#include "platform/browser/NativeMessagingHost.h"
#include "tests/fuzz/Fuzz.h"

void fuzzing::fuzzOne(std::string_view input) {
  using Reader = platform::NativeMessageReader;
  std::size_t offset = 0;
  std::size_t reads = 0;
  Reader reader([&](void* buffer, std::size_t want) {
    // Short reads of 1 to 7 bytes, with every eighth read as long as it may be.
    const std::size_t piece = ++reads % 8 == 0 ? want : std::min<std::size_t>(want, reads % 8);
    const std::size_t n = std::min(piece, input.size() - offset);
    std::memcpy(buffer, input.data() + offset, n);
    offset += n;
    return n;
  });
  for (Reader::Frame frame = reader.next(); frame.kind != Reader::Kind::kEnd;
       frame = reader.next()) {
    require(frame.bytes.size() <= platform::kMaximumNativeMessageSize);
    require(frame.kind != Reader::Kind::kOversized || frame.bytes.empty());
    const platform::ExtensionItem item = platform::messageItemForFrame(frame.bytes);
    require(!item.userInfo || item.userInfo->contains(platform::kExtensionMessageKey));
  }
  require(offset == input.size());
}
