#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ranges>
#include <set>

#include "Bramlow_for_Safari/MessageCatalog.h"
#include "Bramlow_for_Safari/SetupMarkers.h"
#include "platform/env/Locale.h"
#include "platform/formats/Json.h"
#include "tests/support/TestSupport.h"

namespace {
namespace fs = std::filesystem;
namespace markers = bramlow::setup::markers;
using bramlow::setup::Catalog;
using bramlow::setup::PlaceholderValues;
using bramlow::setup::translateMarker;

TEST(MessageCatalogTest, Translation) {
  const Catalog german{{"a553d7", "Version {version} (Build {build})"}};
  const PlaceholderValues version{{"version", "1.2"}, {"build", "45"}};
  const struct {
    const char* name;
    std::string_view text;
    PlaceholderValues values;
    Catalog catalog;
    std::string expected;
  } cases[] = {
      {"placeholders in English", markers::kVersion, version, {}, "Version 1.2 (build 45)"},
      {"placeholders in translation", markers::kVersion, version, german, "Version 1.2 (Build 45)"},
      {"id not in the catalog", markers::kTagline, {}, german, "Your bookmarks, right in Safari."},
      {"unknown placeholder stays", "[[{other} {version} =1]]", version, {}, "{other} 1.2"},
      {"every occurrence", "[[{build}/{build} =1]]", version, {}, "45/45"},
      // An inserted value is text, never a placeholder: the result must not depend on the order
      // in which the values are applied.
      {"values are not rescanned", "[[{a} {b} =1]]", {{"a", "{b}"}, {"b", "{a}"}}, {}, "{b} {a}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(translateMarker(c.text, c.values, c.catalog), c.expected);
  }
}

// The catalogs that ship: each has exactly the markers' ids; German stands for the translations,
// real ones rather than copies of the English, with the same placeholders.
TEST(ShippedCatalogsTest, EveryMarkerTranslated) {
  const auto load = [](const char* language) {
    return platform::parseJson(testing_support::readFile(
        fs::path(BRAMLOW_APP_DIR) / "Contents" / "Resources" / (std::string(language) + ".json")));
  };
  std::set<std::string> ids;
  for (std::string_view marker : markers::kAll)
    ids.emplace(bramlow::setup::matchMarker(marker)->id);
  EXPECT_EQ(ids.size(), markers::kAll.size()) << "ids unique";
  for (const char* language : {"en", "de", "fr"}) {
    const auto catalog = load(language).get<std::map<std::string, std::string>>();
    EXPECT_TRUE(std::ranges::equal(std::views::keys(catalog), ids)) << language;
  }
  auto german = load("de").get<std::map<std::string, std::string>>();
  const auto placeholders = [](std::string_view text) {
    return std::pair(text.find("{version}") != text.npos, text.find("{build}") != text.npos);
  };
  for (std::string_view marker : markers::kAll) {
    const auto [english, id] = *bramlow::setup::matchMarker(marker);
    const std::string& text = german[std::string(id)];
    EXPECT_NE(text, english) << marker;
    EXPECT_EQ(placeholders(text), placeholders(english)) << marker;
  }
}

TEST(PreferredLanguagesTest, FromTheEnvironment) {
  const struct {
    const char* name;
    const char* language;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    std::vector<std::string> expected;
  } cases[] = {
      {"LC_ALL beats LC_MESSAGES and LANG", "", "fr_FR", "de_DE", "en_US", {"fr-FR"}},
      {"LC_MESSAGES beats LANG", "", "", "de_DE@euro", "en_US", {"de-DE"}},
      {"LANGUAGE list first", "fr_CA:de", "", "", "en_US.UTF-8", {"fr-CA", "de", "en-US"}},
      {"C and POSIX say nothing", "C", "", "", "POSIX", {}},
      {"path-like entries dropped", "../x:en", "", "", "", {"en"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::preferredLanguagesFrom(c.language, c.lcAll, c.lcMessages, c.lang),
              c.expected);
  }
}

}  // namespace
