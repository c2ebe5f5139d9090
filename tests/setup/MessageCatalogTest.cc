#include <gtest/gtest.h>

#include <map>
#include <set>

#include "Bramlow_for_Safari/MessageCatalog.h"
#include "Bramlow_for_Safari/SetupMarkers.h"
#include "platform/Json.h"
#include "platform/Locale.h"
#include "tests/support/TestSupport.h"

namespace {
namespace fs = std::filesystem;
namespace markers = bramlow::setup::markers;
using bramlow::setup::Catalog;
using bramlow::setup::PlaceholderValues;
using bramlow::setup::translateMarker;
using testing_support::writeFile;

TEST(MessageCatalogTest, MarkerGrammar) {
  const struct {
    std::string text, english, id;
  } markers[] = {
      {"[[Check Again =32e60e]]", "Check Again", "32e60e"},
      {"[[one\ntwo\r\nthree =1a]]", "one\ntwo\r\nthree", "1a"},
      {"[[a =b =c1]]", "a =b", "c1"},  // the last separator decides
  };
  for (const auto& m : markers) {
    const auto parts = bramlow::setup::matchMarker(m.text);
    ASSERT_TRUE(parts) << m.text;
    EXPECT_EQ(parts->english, m.english);
    EXPECT_EQ(parts->id, m.id);
  }
  // Anything else is no marker (and so is never half-translated).
  const char* const notMarkers[] = {"[[a =1f]]\n", "x[[a =1f]]", "[[a =1F]]", "[[a =]]",   "[[a]]",
                                    "[[a=1f]]",    "[[a =1-f]]", "[[a =1f]",  "[[a =1f]]]"};
  for (const char* text : notMarkers) EXPECT_FALSE(bramlow::setup::matchMarker(text)) << text;
}

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

class CatalogFilesTest : public testing_support::TestEnvTest {
 protected:
  CatalogFilesTest() { testing_support::writeInfoPlist(app(), testing_support::defaultAppInfo()); }
  fs::path app() const { return dir_.path() / "Test.app"; }
  void writeCatalog(const std::string& language, const std::string& json) {
    writeFile(app() / "Contents" / "Resources" / (language + ".json"), json);
  }
};

TEST_F(CatalogFilesTest, LoadingAndLanguageChoice) {
  writeCatalog("de", R"({"32e60e": "Erneut prüfen", "2e88f3": "Prüfe …"})");
  const platform::Bundle bundle(app());
  EXPECT_EQ(bramlow::setup::loadCatalog(bundle, "de"),
            (Catalog{{"32e60e", "Erneut prüfen"}, {"2e88f3", "Prüfe …"}}));

  EXPECT_TRUE(bramlow::setup::loadCatalog(bundle, "ja").empty());

  // One bad value spoils the whole file.
  writeCatalog("de", R"({"32e60e": "Erneut prüfen", "2e88f3": 7})");
  EXPECT_TRUE(bramlow::setup::loadCatalog(bundle, "de").empty());
  EXPECT_TRUE(env_.logLines().back().starts_with("Could not read Safari setup translations: "));

  writeCatalog("en", "{}");
  writeCatalog("pt-BR", "{}");
  const struct {
    const char* name;
    std::vector<std::string> preferred;
    std::string expected;
  } cases[] = {
      {"first with a catalog", {"ja", "de", "en"}, "de"},
      {"exact region wins", {"pt-BR"}, "pt-BR"},
      {"nothing matches: the first", {"ja", "ko"}, "ja"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bramlow::setup::catalogLanguage(bundle, c.preferred), c.expected);
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
    std::set<std::string> keys;
    for (const auto& [id, text] : load(language).get<std::map<std::string, platform::Json>>())
      keys.insert(id);
    EXPECT_EQ(keys, ids) << language;
  }
  const platform::Json german = load("de");
  for (std::string_view marker : markers::kAll) {
    const auto parts = bramlow::setup::matchMarker(marker);
    const std::string text = german.value(std::string(parts->id), std::string());
    EXPECT_NE(text, parts->english) << marker;
    for (const char* placeholder : {"{version}", "{build}"}) {
      EXPECT_EQ(text.find(placeholder) != std::string::npos,
                parts->english.find(placeholder) != std::string_view::npos)
          << marker << " " << placeholder;
    }
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
