// The setup application reads its language catalog from its bundle's resources: whatever the file
// holds, loading gives a catalog (empty when it cannot be used) without throwing, and every text
// the window shows translates from it.
#include "Bramlow_for_Safari/MessageCatalog.h"
#include "platform/Env.h"
#include "tests/fuzz/Fuzz.h"
#include "tests/support/TestSupport.h"

namespace {

// A refused catalog is logged; the lines would pile up over millions of inputs.
struct QuietEnv : platform::EnvWrapper {
  QuietEnv() : EnvWrapper(platform::Env::Default()) {}
  void log(std::string_view /*line*/) override {}
};

}  // namespace

void fuzzing::fuzzOne(std::string_view input) {
  namespace setup = bramlow::setup;
  static QuietEnv env;
  static const platform::ScopedEnvForTesting scoped(env);
  static const testing_support::TempDir bundle;
  testing_support::writeFile(bundle.path() / "Contents/Resources/xx.json", input);
  const setup::Catalog catalog = setup::loadCatalog(platform::Bundle(bundle.path()), "xx");
  const setup::PlaceholderValues values{{"version", "2.0.0"}, {"build", "{version}"}};
  for (const auto& [id, text] : catalog) {
    setup::translateMarker("[[Version {version} (Build {build}) =" + id + "]]", values, catalog);
    setup::translateMarker(text, values, catalog);
  }
}
