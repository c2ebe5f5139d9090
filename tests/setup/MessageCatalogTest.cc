#include <gtest/gtest.h>

#include <set>

#include "Bramlow_for_Safari/AppDelegate.h"
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
using testing_support::TempDir;
using testing_support::TestEnv;
using testing_support::writeFile;

TEST(MessageCatalogTest, MarkerGrammar) {
  struct Case {
    const char* name;
    std::string text;
    bool isMarker;
    std::string english;
    std::string id;
  };
  const Case cases[] = {
      {"plain marker", "[[Check Again =32e60e]]", true, "Check Again", "32e60e"},
      {"empty English text", "[[ =abc]]", true, "", "abc"},
      {"line breaks inside", "[[one\ntwo\r\nthree =1a]]", true, "one\ntwo\r\nthree", "1a"},
      {"last separator decides", "[[a =b =c1]]", true, "a =b", "c1"},
      {"brackets inside", "[[x]] [[y =ff]]", true, "x]] [[y", "ff"},
      {"trailing space", "[[Check Again =32e60e]] ", false, "", ""},
      {"second line", "[[Check Again =32e60e]]\nmore", false, "", ""},
      {"trailing line break", "[[Check Again =32e60e]]\n", false, "", ""},
      {"leading text", "x[[Check Again =32e60e]]", false, "", ""},
      {"upper-case id", "[[Check Again =32E60E]]", false, "", ""},
      {"empty id", "[[Check Again =]]", false, "", ""},
      {"no separator", "[[Check Again]]", false, "", ""},
      {"separator without space", "[[Check Again=32e60e]]", false, "", ""},
      {"id with a dash", "[[Check Again =32e-60]]", false, "", ""},
      {"one closing bracket", "[[Check Again =32e60e]", false, "", ""},
      {"extra closing bracket", "[[Check Again =32e60e]]]", false, "", ""},
      {"brackets only", "[[]]", false, "", ""},
      {"empty", "", false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto parts = bramlow::setup::matchMarker(c.text);
    ASSERT_EQ(parts.has_value(), c.isMarker);
    if (!parts) {
      EXPECT_EQ(translateMarker(c.text, {{"version", "1"}}, Catalog{{"32e60e", "X"}}), c.text);
      continue;
    }
    EXPECT_EQ(parts->english, c.english);
    EXPECT_EQ(parts->id, c.id);
  }
}

TEST(MessageCatalogTest, Translation) {
  const Catalog german{{"32e60e", "Erneut prüfen"},
                       {"a553d7", "Version {version} (Build {build})"}};
  const PlaceholderValues version{{"version", "1.2"}, {"build", "45"}};
  struct Case {
    const char* name;
    std::string_view text;
    PlaceholderValues values;
    Catalog catalog;
    std::string expected;
  };
  const Case cases[] = {
      {"English from an empty catalog", markers::kCheckAgain, {}, {}, "Check Again"},
      {"catalog's translation", markers::kCheckAgain, {}, german, "Erneut prüfen"},
      {"placeholders in English", markers::kVersion, version, {}, "Version 1.2 (build 45)"},
      {"placeholders in translation", markers::kVersion, version, german, "Version 1.2 (Build 45)"},
      {"id missing from the catalog",
       markers::kTagline,
       {},
       german,
       "Your bookmarks, right in Safari."},
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(translateMarker(c.text, c.values, c.catalog), c.expected);
  }
}

class CatalogFilesTest : public testing::Test {
 protected:
  CatalogFilesTest() : env_(dir_.path()), scoped_(env_) {
    testing_support::writeInfoPlist(app(), testing_support::defaultAppInfo());
  }
  fs::path app() const { return dir_.path() / "Test.app"; }
  void writeCatalog(const std::string& language, const std::string& json) {
    writeFile(app() / "Contents" / "Resources" / (language + ".json"), json);
  }
  std::vector<std::string> log() { return env_.logLines(); }

  TempDir dir_;
  TestEnv env_;
  platform::ScopedEnvForTesting scoped_;
};

TEST_F(CatalogFilesTest, LoadsAnObjectOfStrings) {
  writeCatalog("de", R"({"32e60e": "Erneut prüfen", "2e88f3": "Prüfe …"})");
  const Catalog catalog = bramlow::setup::loadCatalog(platform::Bundle(app()), "de");
  EXPECT_EQ(catalog, (Catalog{{"32e60e", "Erneut prüfen"}, {"2e88f3", "Prüfe …"}}));
  EXPECT_TRUE(log().empty());
}

TEST_F(CatalogFilesTest, UnusableCatalogsAreLoggedAndEmpty) {
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"one value is a number", R"({"32e60e": "Erneut prüfen", "2e88f3": 7})"},
      {"a value is null", R"({"32e60e": null})"},
      {"a value is an object", R"({"32e60e": {"text": "x"}})"},
      {"an array", R"(["Erneut prüfen"])"},
      {"not JSON", "32e60e = Erneut prüfen"},
      {"truncated", R"({"32e60e": "Erneut)"},
      {"invalid UTF-8", "{\"32e60e\": \"\xff\"}"},
      {"empty file", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeCatalog("de", c.content);
    const std::size_t before = log().size();
    EXPECT_TRUE(bramlow::setup::loadCatalog(platform::Bundle(app()), "de").empty());
    const std::vector<std::string> lines = log();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back().rfind("Could not read Safari setup translations: ", 0), 0u)
        << lines.back();
  }
}

TEST_F(CatalogFilesTest, MissingCatalogIsLoggedWithTheLanguage) {
  writeCatalog("en", R"({"32e60e": "Check Again"})");
  const platform::Bundle bundle(app());
  const std::string language = bramlow::setup::catalogLanguage(bundle, {"ja"});
  EXPECT_EQ(language, "ja");
  EXPECT_TRUE(bramlow::setup::loadCatalog(bundle, language).empty());
  EXPECT_EQ(log(), std::vector<std::string>{"Safari setup language catalog is missing: ja"});
}

TEST_F(CatalogFilesTest, LanguageChoice) {
  writeCatalog("en", "{}");
  writeCatalog("de", "{}");
  writeCatalog("pt-BR", "{}");
  const platform::Bundle bundle(app());
  struct Case {
    const char* name;
    std::vector<std::string> preferred;
    std::string expected;
  };
  const Case cases[] = {
      {"no preference", {}, "en"},
      {"first with a catalog", {"ja", "de", "en"}, "de"},
      {"region falls back to its language", {"de-AT"}, "de"},
      {"exact region wins", {"pt-BR"}, "pt-BR"},
      {"nothing matches: the first", {"ja", "ko"}, "ja"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bramlow::setup::catalogLanguage(bundle, c.preferred), c.expected);
  }
}

// The process's catalog comes from the main bundle, once: later changes of the file or of the
// language are not seen until the next launch.
TEST_F(CatalogFilesTest, ProcessCatalogLoadsOnceFromTheMainBundle) {
  class MainBundleEnv : public TestEnv {
   public:
    using TestEnv::TestEnv;
    fs::path executablePath() override { return executable; }
    fs::path executable;
  };
  MainBundleEnv env(dir_.path());
  env.executable = app() / "Contents" / "MacOS" / "Bramlow for Safari";
  platform::ScopedEnvForTesting scoped(env);
  writeCatalog("fr", R"({"32e60e": "Vérifier à nouveau"})");
  env.setPreferredLanguages({"fr"});
  bramlow::setup::resetMessageCatalogForTesting();

  EXPECT_EQ(translateMarker("no marker here"), "no marker here");
  EXPECT_EQ(translateMarker(markers::kCheckAgain), "Vérifier à nouveau");
  writeCatalog("fr", R"({"32e60e": "changed"})");
  env.setPreferredLanguages({"de"});
  EXPECT_EQ(translateMarker(markers::kCheckAgain), "Vérifier à nouveau");
  EXPECT_TRUE(env.logLines().empty());

  bramlow::setup::resetMessageCatalogForTesting();
}

// The catalogs that ship: every marker of the code translated, with its placeholders, and real
// translations rather than copies of the English.
TEST(ShippedCatalogsTest, EveryMarkerTranslated) {
  const fs::path resources = fs::path(BRAMLOW_APP_DIR) / "Contents" / "Resources";
  std::set<std::string> ids;
  for (std::string_view marker : markers::kAll) {
    const auto parts = bramlow::setup::matchMarker(marker);
    ASSERT_TRUE(parts) << marker;
    EXPECT_TRUE(ids.emplace(parts->id).second) << "duplicate id " << parts->id;
  }
  for (const char* language : {"en", "de", "fr"}) {
    SCOPED_TRACE(language);
    const platform::Json catalog = platform::parseJson(
        testing_support::readFile(resources / (std::string(language) + ".json")));
    ASSERT_TRUE(catalog.is_object());
    EXPECT_EQ(catalog.size(), ids.size());
    for (std::string_view marker : markers::kAll) {
      const auto parts = bramlow::setup::matchMarker(marker);
      const std::string id(parts->id);
      ASSERT_TRUE(catalog.contains(id)) << id;
      ASSERT_TRUE(catalog[id].is_string()) << id;
      const std::string text = catalog[id].get<std::string>();
      if (std::string_view(language) == "en") {
        EXPECT_EQ(text, parts->english) << id;
      } else {
        EXPECT_NE(text, parts->english) << id;
      }
      for (const char* placeholder : {"{version}", "{build}"}) {
        EXPECT_EQ(text.find(placeholder) != std::string::npos,
                  parts->english.find(placeholder) != std::string_view::npos)
            << id << " " << placeholder;
      }
    }
  }
}

TEST(PreferredLanguagesTest, FromTheEnvironment) {
  struct Case {
    const char* name;
    const char* language;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::preferredLanguagesFrom(c.language, c.lcAll, c.lcMessages, c.lang),
              c.expected);
  }
}

TEST(SetupStatusTest, EachAnswerOfTheBrowser) {
  const auto failure = std::make_exception_ptr(std::runtime_error("manifest unreadable"));
  struct Case {
    const char* name;
    bool settings;
    std::optional<platform::ExtensionState> state;
    std::exception_ptr error;
    std::string text;
    std::optional<std::string> log;
  };
  const Case cases[] = {
      {"state: an error", false, std::nullopt, failure,
       "Safari status is unavailable. Open Safari Settings to check the extension.",
       "Safari extension status failed: manifest unreadable"},
      // An error wins even when a state came with it.
      {"state: an error and a state", false, platform::ExtensionState{true}, failure,
       "Safari status is unavailable. Open Safari Settings to check the extension.",
       "Safari extension status failed: manifest unreadable"},
      {"state: neither", false, std::nullopt, nullptr,
       "Safari returned no extension status. Open Safari Settings to check the extension.",
       std::nullopt},
      {"state: enabled", false, platform::ExtensionState{true}, nullptr,
       "Bramlow is enabled in Safari. Use the toolbar button to open your bookmarks.",
       std::nullopt},
      {"state: not enabled", false, platform::ExtensionState{false}, nullptr,
       "Bramlow is not enabled. Turn it on in Safari Settings to get started.", std::nullopt},
      {"settings: shown", true, std::nullopt, nullptr,
       "Enable Bramlow in Safari Settings, then return here to check its status.", std::nullopt},
      {"settings: an error", true, std::nullopt, failure,
       "Could not open Safari Settings. In Safari, choose Settings, then Extensions.",
       "Opening Safari extension settings failed: manifest unreadable"},
  };
  // English, whatever the machine's language: the test's own bundle has no catalog.
  TempDir dir;
  TestEnv env(dir.path());
  platform::ScopedEnvForTesting scoped(env);
  bramlow::setup::resetMessageCatalogForTesting();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bramlow::setup::StatusAnswer answer =
        c.settings ? bramlow::setup::statusForSettingsAnswer(c.error)
                   : bramlow::setup::statusForExtensionState(c.state, c.error);
    EXPECT_EQ(answer.text, c.text);
    EXPECT_EQ(answer.logLine, c.log);
  }
  bramlow::setup::resetMessageCatalogForTesting();
}

}  // namespace
