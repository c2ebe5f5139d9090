// The updater's check interval comes from its bundle's "policy.json": whatever the file holds,
// reading the configuration ends in a product with a positive, finite interval, an UpdateFailure
// or a JSON error, never anything else.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "platform/Bundle.h"
#include "platform/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"
#include "updater/UpdateProduct.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace testing_support;
  static const TempDir dir;
  static const platform::Bundle bundle = [] {
    writeInfoPlist(dir.path(), defaultUpdaterInfo());
    return platform::Bundle(dir.path());
  }();
  writeFile(bundle.resourcesPath() / "policy.json",
            std::string_view(reinterpret_cast<const char*>(data), size));
  try {
    const bramlow::UpdateProduct product = bramlow::UpdateProduct::init(bundle);
    if (!std::isfinite(product.checkInterval) || !(product.checkInterval > 0)) __builtin_trap();
  } catch (const bramlow::UpdateFailure&) {
  } catch (const platform::JsonError&) {
  }
  return 0;
}
