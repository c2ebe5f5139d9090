// The release manifest comes from the network: decoding any bytes ends in a release or a decoding
// error (never an UpdateFailure), and validating what decoded ends in success or one of its two
// markers, against a fixed running system so that the minimum-system comparison is reached too.
#include <optional>

#include "platform/formats/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/fuzz/Fuzz.h"
#include "updater/UpdateRelease.h"

void fuzzing::fuzzOne(std::string_view input) {
  using namespace testing_support;
  static Root root;
  root.env.setSystemVersion(14, 2, 1);
  static const bramlow::UpdateProduct product = [] {
    bramlow::UpdateProduct p;
    p.appID = kAppID;
    p.artifactPrefix = kArtifactPrefix;
    p.baseURL = *platform::Url::parse(kBaseURL);
    p.checkInterval = 1;
    return p;
  }();
  std::optional<bramlow::UpdateRelease> release;
  tolerating<platform::JsonError, platform::DecodingError>(
      [&] { release = bramlow::UpdateRelease::decode(input); });
  if (!release) return;
  try {
    release->validate(product);
  } catch (const bramlow::UpdateFailure& failure) {
    const std::string minimum = std::string(bramlow::markers::kMinimumSystemRequired) + " ";
    require(failure.text() == bramlow::markers::kInformationInvalid ||
            failure.text() == minimum + release->minimumSystemVersion);
  }
}
