// Texts to translate include failure messages that reach the setup application from outside:
// whatever the text, translateMarker leaves a text that is not exactly one marker unchanged, a
// marker splits into parts that make it up again, and one the catalog lacks shows its English text.
#include <algorithm>

#include "Bramlow_for_Safari/MessageCatalog.h"
#include "tests/fuzz/Fuzz.h"

void fuzzing::fuzzOne(std::string_view text) {
  namespace setup = bramlow::setup;
  static const setup::Catalog catalog{
      {"a553d7", "Version {version} (Build {build})"}, {"0", "{"}, {"1", "{build}{version}{}"}};
  static const setup::PlaceholderValues values{
      {"version", "{build}"}, {"build", "7"}, {"", "{version}"}, {"build}", "x"}};
  const std::string translated = setup::translateMarker(text, values, catalog);
  const auto marker = setup::matchMarker(text);
  if (!marker) return require(translated == text);
  const std::string_view id = marker->id;
  require("[[" + std::string(marker->english) + " =" + std::string(id) + "]]" == text);
  require(!id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  }));
  require(catalog.contains(id) || translated == setup::fillPlaceholders(marker->english, values));
}
