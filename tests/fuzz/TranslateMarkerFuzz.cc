// Texts to translate include failure messages that reach the setup application from outside:
// whatever the text, translateMarker leaves a text that is not exactly one marker unchanged, a
// marker splits into parts that make it up again, and one the catalog lacks shows its English text.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "Bramlow_for_Safari/MessageCatalog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace setup = bramlow::setup;
  static const setup::Catalog catalog{
      {"a553d7", "Version {version} (Build {build})"}, {"0", "{"}, {"1", "{build}{version}{}"}};
  static const setup::PlaceholderValues values{
      {"version", "{build}"}, {"build", "7"}, {"", "{version}"}, {"build}", "x"}};
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string translated = setup::translateMarker(text, values, catalog);
  const auto marker = setup::matchMarker(text);
  if (!marker) {
    if (translated != text) __builtin_trap();
    return 0;
  }
  if ("[[" + std::string(marker->english) + " =" + std::string(marker->id) + "]]" != text ||
      marker->id.empty() || !std::all_of(marker->id.begin(), marker->id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
      })) {
    __builtin_trap();
  }
  if (!catalog.contains(marker->id) &&
      translated != setup::fillPlaceholders(marker->english, values)) {
    __builtin_trap();
  }
  return 0;
}
