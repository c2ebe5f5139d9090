// The release manifest comes from the network: decoding any bytes ends in a release or a decoding
// error (never an UpdateFailure), and validating what decoded ends in success or one of its two
// markers, against a fixed running system so that the minimum-system comparison is reached too.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Env.h"
#include "platform/Json.h"
#include "shared/UpdateFailure.h"
#include "updater/UpdateRelease.h"

namespace {

struct SystemEnv : platform::EnvWrapper {
  SystemEnv() : EnvWrapper(platform::Env::Default()) {}
  platform::OperatingSystemVersion systemVersion() override { return {14, 2, 1}; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static SystemEnv env;
  static const platform::ScopedEnvForTesting scoped(env);
  static const bramlow::UpdateProduct product = [] {
    bramlow::UpdateProduct p;
    p.appID = "com.bramlow.safari-extension";
    p.artifactPrefix = "BramlowForSafari";
    p.baseURL = *platform::Url::parse("https://127.0.0.1/updates/");
    p.checkInterval = 1;
    return p;
  }();
  bramlow::UpdateRelease release;
  try {
    release =
        bramlow::UpdateRelease::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const platform::JsonError&) {
    return 0;
  } catch (const platform::DecodingError&) {
    return 0;
  }
  try {
    release.validate(product);
  } catch (const bramlow::UpdateFailure& failure) {
    const std::string minimum = std::string(bramlow::markers::kMinimumSystemRequired) + " ";
    if (failure.text() != bramlow::markers::kInformationInvalid &&
        failure.text() != minimum + release.minimumSystemVersion) {
      __builtin_trap();
    }
  }
  return 0;
}
