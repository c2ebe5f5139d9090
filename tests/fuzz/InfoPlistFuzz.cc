// Info.plist files are read from bundles on disk before anything vouches for them (the updater's
// configuration, the installed application's identity and build): any bytes, XML or binary, must
// give a dictionary, an empty bundle info or an UpdateFailure, never crash or recurse unbounded.
#include "platform/bundle/Bundle.h"
#include "platform/formats/PropertyList.h"
#include "shared/UpdateFailure.h"
#include "tests/fuzz/Fuzz.h"
#include "updater/BuildNumber.h"
#include "updater/BundleFacts.h"
#include "updater/UpdateProduct.h"

void fuzzing::fuzzOne(std::string_view input) {
  using testing_support::writeFile;
  // A bundle whose policy is valid, so that a good Info.plist gives a whole configuration.
  static const testing_support::TempDir dir;
  static const std::filesystem::path bundle = [] {
    writeFile(dir.path() / "Contents/Resources/policy.json",
              R"({"checkIntervalMilliseconds": 3600000})");
    return dir.path();
  }();
  writeFile(bundle / "Contents/Info.plist", input);
  tolerating<bramlow::UpdateFailure>(
      [] { bramlow::UpdateProduct::init(platform::Bundle(bundle)); });
  tolerating<platform::plist::PropertyListError, bramlow::UpdateFailure>([] {
    const platform::plist::Dictionary info = bramlow::readInfoPlist(bundle);
    if (const std::string* build = platform::plist::stringForKey(info, "CFBundleVersion"))
      bramlow::parseBuildNumber(*build);
    // What was read can be written back, as the release tool stamps versions into it.
    platform::plist::serialize(info);
  });
}
