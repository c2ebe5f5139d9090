// Translation of message markers. A marker is "[[" + English text + " =" + id + "]]" and nothing
// else; translateMarker replaces it by the catalog's text for the id (or by the English text when
// the catalog lacks it) and then fills in "{name}" placeholders. The catalog is the JSON resource
// of the user's language in the main bundle, loaded once per process.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle/Bundle.h"

namespace bramlow::setup {

using PlaceholderValues = std::map<std::string, std::string, std::less<>>;
using Catalog = std::map<std::string, std::string, std::less<>>;

// The string to show for text. Text that is not exactly one marker is returned unchanged, and its
// placeholders are left alone. Loads the process's catalog on first use; thread-safe.
std::string translateMarker(std::string_view text, const PlaceholderValues& values = {});

// The same against a given catalog.
std::string translateMarker(std::string_view text, const PlaceholderValues& values,
                            const Catalog& catalog);

struct MarkerParts {
  std::string_view english;
  std::string_view id;
};

// Splits a whole-string marker; nullopt when text is not one. The English text may be empty and
// may hold any characters, line breaks included; the id is one or more of [a-z0-9]. Linear time.
std::optional<MarkerParts> matchMarker(std::string_view text);

// Replaces every "{name}" of text by its value in one pass: an inserted value is never searched
// again, so the result does not depend on the order of the values.
std::string fillPlaceholders(std::string_view text, const PlaceholderValues& values);

// The catalog's language for a bundle: the first of the user's languages (most preferred first)
// whose catalog the bundle holds, as the full tag or its base language; when none has one, the
// first language; with no languages at all, "en".
std::string catalogLanguage(const platform::Bundle& bundle,
                            const std::vector<std::string>& preferredLanguages);

// Reads the catalog of the language from the bundle. Never throws: a missing or unreadable catalog
// is logged and gives an empty catalog.
Catalog loadCatalog(const platform::Bundle& bundle, const std::string& language);

// Forgets the process's catalog so the next translateMarker loads it again (tests only).
void resetMessageCatalogForTesting();

}  // namespace bramlow::setup
