#include "Bramlow_for_Safari/MessageCatalog.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "platform/env/Env.h"
#include "platform/env/Locale.h"
#include "platform/formats/Json.h"

namespace bramlow::setup {

namespace {

constexpr std::string_view kOpen = "[[";
constexpr std::string_view kSeparator = " =";
constexpr std::string_view kClose = "]]";

bool isIdCharacter(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// The process's catalog: loaded by the first translation that meets a marker, then read-only.
struct CatalogStore {
  std::mutex mutex;
  std::optional<Catalog> catalog;
};

CatalogStore& store() {
  static CatalogStore* instance = new CatalogStore();  // lives until the process ends
  return *instance;
}

const Catalog& processCatalog() {
  CatalogStore& s = store();
  const std::lock_guard lock(s.mutex);
  if (!s.catalog) {
    Catalog loaded;
    try {
      const platform::Bundle bundle = platform::Bundle::main();
      loaded = loadCatalog(bundle, catalogLanguage(bundle, platform::env().preferredLanguages()));
    } catch (const std::exception& error) {
      // Without a main bundle there is no catalog to find.
      platform::env().log(std::string("Could not read Safari setup translations: ") + error.what());
    }
    s.catalog = std::move(loaded);
  }
  return *s.catalog;
}

}  // namespace

std::optional<MarkerParts> matchMarker(std::string_view text) {
  // The marker's grammar anchors both ends, so the id is whatever follows the last " =" and must
  // run up to the closing brackets; the English text is everything before it.
  if (text.size() < kOpen.size() + kSeparator.size() + 1 + kClose.size() ||
      !text.starts_with(kOpen) || !text.ends_with(kClose)) {
    return std::nullopt;
  }
  const std::string_view inner =
      text.substr(kOpen.size(), text.size() - kOpen.size() - kClose.size());
  const std::size_t separator = inner.rfind(kSeparator);
  if (separator == std::string_view::npos) return std::nullopt;
  const std::string_view id = inner.substr(separator + kSeparator.size());
  if (id.empty() || !std::all_of(id.begin(), id.end(), isIdCharacter)) return std::nullopt;
  return MarkerParts{inner.substr(0, separator), id};
}

std::string fillPlaceholders(std::string_view text, const PlaceholderValues& values) {
  if (values.empty()) return std::string(text);
  std::string result;
  result.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const PlaceholderValues::value_type* best = nullptr;
    if (text[i] == '{') {
      for (const auto& entry : values) {
        const std::size_t length = entry.first.size() + 2;
        if (text.size() - i >= length && text[i + length - 1] == '}' &&
            text.substr(i + 1, entry.first.size()) == entry.first &&
            (!best || entry.first.size() > best->first.size())) {
          best = &entry;
        }
      }
    }
    if (best) {
      result += best->second;
      i += best->first.size() + 2;
    } else {
      result += text[i++];
    }
  }
  return result;
}

std::string translateMarker(std::string_view text, const PlaceholderValues& values,
                            const Catalog& catalog) {
  const std::optional<MarkerParts> marker = matchMarker(text);
  if (!marker) return std::string(text);
  const auto it = catalog.find(marker->id);
  return fillPlaceholders(it != catalog.end() ? std::string_view(it->second) : marker->english,
                          values);
}

std::string translateMarker(std::string_view text, const PlaceholderValues& values) {
  if (!matchMarker(text)) return std::string(text);
  return translateMarker(text, values, processCatalog());
}

std::string catalogLanguage(const platform::Bundle& bundle,
                            const std::vector<std::string>& preferredLanguages) {
  for (const std::string& language : preferredLanguages) {
    if (bundle.pathForResource(language, "json")) return language;
    std::string base = platform::baseLanguage(language);
    if (base != language && bundle.pathForResource(base, "json")) return base;
  }
  return preferredLanguages.empty() ? std::string("en") : preferredLanguages.front();
}

Catalog loadCatalog(const platform::Bundle& bundle, const std::string& language) {
  const std::optional<std::filesystem::path> path = bundle.pathForResource(language, "json");
  if (!path) {
    platform::env().log("Safari setup language catalog is missing: " + language);
    return {};
  }
  try {
    const platform::Json json = platform::parseJson(platform::env().readFile(*path));
    if (!json.is_object()) {
      throw platform::DecodingError(
          "Expected to decode Dictionary<String, String> but found an array instead.");
    }
    Catalog catalog;
    for (const auto& [id, value] : json.items()) {
      if (!value.is_string()) {
        throw platform::DecodingError(
            "Expected to decode String but found another type for key \"" + id + "\".");
      }
      catalog.emplace(id, value.get<std::string>());
    }
    return catalog;
  } catch (const std::exception& error) {
    platform::env().log(std::string("Could not read Safari setup translations: ") + error.what());
    return {};
  }
}

void resetMessageCatalogForTesting() {
  CatalogStore& s = store();
  const std::lock_guard lock(s.mutex);
  s.catalog.reset();
}

}  // namespace bramlow::setup
