#include <gtest/gtest.h>

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
      {"[[ =abc]]", "", "abc"},
      {"[[one\ntwo\r\nthree =1a]]", "one\ntwo\r\nthree", "1a"},
      {"[[a =b =c1]]", "a =b", "c1"},  // the last separator decides
      {"[[x]] [[y =ff]]", "x]] [[y", "ff"},
  };
  for (const auto& m : markers) {
    const auto parts = bramlow::setup::matchMarker(m.text);
    ASSERT_TRUE(parts) << m.text;
    EXPECT_EQ(parts->english, m.english);
    EXPECT_EQ(parts->id, m.id);
  }
  // Anything else is returned as it is, never half-translated.
  const char* const notMarkers[] = {
      "[[a =1f]] ", "[[a =1f]]\nb", "[[a =1f]]\n", "x[[a =1f]]", "[[a =1F]]", "[[a =]]", "[[a]]",
      "[[a=1f]]",   "[[a =1-f]]",   "[[a =1f]",    "[[a =1f]]]", "[[]]",      ""};
  for (const std::string text : notMarkers) {
    EXPECT_FALSE(bramlow::setup::matchMarker(text)) << text;
    EXPECT_EQ(translateMarker(text, {}, Catalog{{"1f", "X"}}), text);
  }
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
      {"no marker keeps its placeholders", "Version {version}", version, german,
       "Version {version}"},
      {"unknown placeholder stays", "[[{other} {version} =1]]", version, {}, "{other} 1.2"},
      {"every occurrence", "[[{build}/{build} =1]]", version, {}, "45/45"},
      {"case-sensitive names", "[[{Version} =1]]", version, {}, "{Version}"},
      // An inserted value is text, never a placeholder: the result must not depend on the order
      // in which the values are applied.
      {"values are not rescanned", "[[{a} {b} =1]]", {{"a", "{b}"}, {"b", "{a}"}}, {}, "{b} {a}"},
      {"unterminated brace", "[[{version =1]]", version, {}, "{version"},
      {"empty name", "[[<{}> =1]]", {{"", "x"}}, {}, "<x>"},
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

TEST_F(CatalogFilesTest, LoadingAndItsLogLines) {
  writeCatalog("de", R"({"32e60e": "Erneut prüfen", "2e88f3": "Prüfe …"})");
  const platform::Bundle bundle(app());
  EXPECT_EQ(bramlow::setup::loadCatalog(bundle, "de"),
            (Catalog{{"32e60e", "Erneut prüfen"}, {"2e88f3", "Prüfe …"}}));
  EXPECT_TRUE(env_.logLines().empty());

  EXPECT_TRUE(bramlow::setup::loadCatalog(bundle, "ja").empty());
  EXPECT_EQ(env_.logLines(),
            std::vector<std::string>{"Safari setup language catalog is missing: ja"});

  // Text that is not JSON at all is the parser's own test; one bad value spoils the whole file.
  for (const char* content : {R"({"32e60e": "Erneut prüfen", "2e88f3": 7})", R"(["Erneut prüfen"])",
                              R"({"32e60e": "Erneut)"}) {
    SCOPED_TRACE(content);
    writeCatalog("de", content);
    const std::size_t before = env_.logLines().size();
    EXPECT_TRUE(bramlow::setup::loadCatalog(bundle, "de").empty());
    const std::vector<std::string> lines = env_.logLines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_TRUE(lines.back().starts_with("Could not read Safari setup translations: "))
        << lines.back();
  }
}

TEST_F(CatalogFilesTest, LanguageChoice) {
  writeCatalog("en", "{}");
  writeCatalog("de", "{}");
  writeCatalog("pt-BR", "{}");
  const platform::Bundle bundle(app());
  const struct {
    const char* name;
    std::vector<std::string> preferred;
    std::string expected;
  } cases[] = {
      {"no preference", {}, "en"},
      {"first with a catalog", {"ja", "de", "en"}, "de"},
      {"region falls back to its language", {"de-AT"}, "de"},
      {"exact region wins", {"pt-BR"}, "pt-BR"},
      {"nothing matches: the first", {"ja", "ko"}, "ja"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bramlow::setup::catalogLanguage(bundle, c.preferred), c.expected);
  }
}

// The catalogs that ship: every marker of the code translated, with its placeholders, and real
// translations rather than copies of the English.
TEST(ShippedCatalogsTest, EveryMarkerTranslated) {
  const fs::path resources = fs::path(BRAMLOW_APP_DIR) / "Contents" / "Resources";
  for (const char* language : {"en", "de", "fr"}) {
    SCOPED_TRACE(language);
    const platform::Json catalog = platform::parseJson(
        testing_support::readFile(resources / (std::string(language) + ".json")));
    ASSERT_TRUE(catalog.is_object());
    EXPECT_EQ(catalog.size(), markers::kAll.size()) << "one entry per marker, ids unique";
    for (std::string_view marker : markers::kAll) {
      const auto parts = bramlow::setup::matchMarker(marker);
      ASSERT_TRUE(parts) << marker;
      const std::string id(parts->id);
      ASSERT_TRUE(catalog.contains(id)) << id;
      ASSERT_TRUE(catalog[id].is_string()) << id;
      const std::string text = catalog[id].get<std::string>();
      EXPECT_EQ(text == parts->english, std::string_view(language) == "en") << id << ": " << text;
      for (const char* placeholder : {"{version}", "{build}"}) {
        EXPECT_EQ(text.find(placeholder) != std::string::npos,
                  parts->english.find(placeholder) != std::string_view::npos)
            << id << " " << placeholder;
      }
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
      {"nothing set", "", "", "", "", {}},
      {"LANG with codeset", "", "", "", "de_DE.UTF-8", {"de-DE"}},
      {"LC_ALL beats LC_MESSAGES and LANG", "", "fr_FR", "de_DE", "en_US", {"fr-FR"}},
      {"LC_MESSAGES beats LANG", "", "", "de_DE@euro", "en_US", {"de-DE"}},
      {"LANGUAGE list first", "fr_CA:de", "", "", "en_US.UTF-8", {"fr-CA", "de", "en-US"}},
      {"C and POSIX say nothing", "C", "", "", "POSIX", {}},
      {"duplicates and empty entries", "de::de", "", "", "de", {"de"}},
      {"path-like entries dropped", "../x:en", "", "", "", {"en"}},
      {"case of the language", "", "", "", "DE_de", {"de-de"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::preferredLanguagesFrom(c.language, c.lcAll, c.lcMessages, c.lang),
              c.expected);
  }
}

}  // namespace
