// Bramlow for Safari Extension: the extension's native message handler. It reads its own bundle's
// configuration at start; the message loop arrives with the extension bridge.
#include <cstdio>

#include "platform/Bundle.h"

int main() {
  const platform::Bundle bundle = platform::Bundle::main();
  const auto* version = bundle.objectForInfoDictionaryKey("CFBundleShortVersionString");
  const std::string* text = version ? version->string() : nullptr;
  std::printf("Bramlow for Safari Extension %s\n", text ? text->c_str() : "");
  return 0;
}
