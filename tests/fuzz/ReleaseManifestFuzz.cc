// The release manifest comes from the network: decoding and validating any bytes must end in a
// release, a decoding error or an UpdateFailure, never anything else.
#include <cstdint>
#include <string_view>

#include "platform/Json.h"
#include "shared/UpdateFailure.h"
#include "updater/UpdateRelease.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bramlow::UpdateProduct product = [] {
    bramlow::UpdateProduct p;
    p.appID = "com.bramlow.safari-extension";
    p.artifactPrefix = "BramlowForSafari";
    p.baseURL = *platform::Url::parse("https://127.0.0.1/updates/");
    p.checkInterval = 1;
    return p;
  }();
  try {
    const auto release =
        bramlow::UpdateRelease::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    release.validate(product);
  } catch (const platform::JsonError&) {
  } catch (const platform::DecodingError&) {
  } catch (const bramlow::UpdateFailure&) {
  }
  return 0;
}
