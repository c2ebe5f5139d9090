// Bramlow for Safari, the setup application. Its window arrives with the setup application's
// own work; for now it reports its version.
#include <cstdio>

#include "platform/Bundle.h"

int main() {
  const platform::Bundle bundle = platform::Bundle::main();
  const auto* version = bundle.objectForInfoDictionaryKey("CFBundleShortVersionString");
  const std::string* text = version ? version->string() : nullptr;
  std::printf("Bramlow for Safari %s\n", text ? text->c_str() : "");
  return 0;
}
