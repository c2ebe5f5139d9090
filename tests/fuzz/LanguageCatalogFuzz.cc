// The setup application reads its language catalog from its bundle's resources: whatever the file
// holds, loading gives a catalog (empty when it cannot be used) without throwing, and every text
// the window shows translates from it.
#include "Bramlow_for_Safari/MessageCatalog.h"
#include "tests/fuzz/Fuzz.h"

void fuzzing::fuzzOne(std::string_view input) {
  namespace setup = bramlow::setup;
  static const Root root;  // a refused catalog is logged
  testing_support::writeFile(root.dir.path() / "Contents/Resources/xx.json", input);
  const setup::Catalog catalog = setup::loadCatalog(platform::Bundle(root.dir.path()), "xx");
  const setup::PlaceholderValues values{{"version", "2.0.0"}, {"build", "{version}"}};
  for (const auto& [id, text] : catalog) {
    setup::translateMarker("[[Version {version} (Build {build}) =" + id + "]]", values, catalog);
    setup::translateMarker(text, values, catalog);
  }
}
