// The updater's check interval comes from its bundle's "policy.json": whatever the file holds,
// reading the configuration ends in a product with a positive, finite interval, an UpdateFailure
// or a JSON error, never anything else.
#include <cmath>

#include "platform/bundle/Bundle.h"
#include "platform/formats/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/fuzz/Fuzz.h"
#include "updater/UpdateProduct.h"

void fuzzing::fuzzOne(std::string_view input) {
  using namespace testing_support;
  static const TempDir dir;
  static const platform::Bundle bundle = [] {
    writeInfoPlist(dir.path(), defaultUpdaterInfo());
    return platform::Bundle(dir.path());
  }();
  writeFile(bundle.resourcesPath() / "policy.json", input);
  tolerating<bramlow::UpdateFailure, platform::JsonError>([] {
    const double interval = bramlow::UpdateProduct::init(bundle).checkInterval;
    require(std::isfinite(interval) && interval > 0);
  });
}
