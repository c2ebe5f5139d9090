#include <gtest/gtest.h>

#include <functional>

#include "platform/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"
#include "updater/UpdateRelease.h"

namespace {
using namespace testing_support;
using bramlow::UpdateFailure;
using bramlow::UpdateProduct;
using bramlow::UpdateRelease;
using platform::Json;
namespace markers = bramlow::markers;

const std::string kDigest(64, 'a');

UpdateProduct testProduct() {
  UpdateProduct product;
  product.appID = kAppID;
  product.extensionID = kExtensionID;
  product.extensionName = kExtensionName;
  product.appName = kAppName;
  product.artifactPrefix = kArtifactPrefix;
  product.team = kTeam;
  product.baseURL = *platform::Url::parse(kBaseURL);
  product.checkInterval = 3600;
  return product;
}

Json validManifest() {
  return Json{
      {"schema", 1},
      {"product", kAppID},
      {"version", "1.2.3"},
      {"build", "120"},
      {"payloadVersion", "1.2.3"},
      {"payloadSha256", kDigest},
      {"minimumSystemVersion", "11.0"},
      {"artifact", {{"name", "BramlowForSafari-120.dmg"}, {"sha256", kDigest}, {"size", 1024}}}};
}

class UpdateReleaseTest : public ::testing::Test {
 protected:
  // "" for success, else the message of the UpdateFailure.
  std::string validation(const Json& manifest) {
    const UpdateRelease release = UpdateRelease::decode(manifest.dump());
    try {
      release.validate(testProduct());
      return "";
    } catch (const UpdateFailure& failure) {
      return failure.text();
    }
  }

  TempDir dir_;
  TestEnv env_{dir_.path()};
  platform::ScopedEnvForTesting scoped_{env_};
};

TEST_F(UpdateReleaseTest, DecodesEveryMemberAndIgnoresUnknownOnes) {
  Json manifest = validManifest();
  manifest["notes"] = "ignored";
  const UpdateRelease release = UpdateRelease::decode(manifest.dump());
  EXPECT_EQ(release.schema, 1);
  EXPECT_EQ(release.product, kAppID);
  EXPECT_EQ(release.version, "1.2.3");
  EXPECT_EQ(release.build, "120");
  EXPECT_EQ(release.payloadVersion, "1.2.3");
  EXPECT_EQ(release.payloadSha256, kDigest);
  EXPECT_EQ(release.minimumSystemVersion, "11.0");
  EXPECT_EQ(release.artifact.name, "BramlowForSafari-120.dmg");
  EXPECT_EQ(release.artifact.sha256, kDigest);
  EXPECT_EQ(release.artifact.size, 1024);
  EXPECT_EQ(validation(manifest), "");
}

TEST_F(UpdateReleaseTest, DecodingFailuresAreNotUpdateFailures) {
  struct Case {
    const char* name;
    std::function<void(Json&)> change;
  } cases[] = {
      {"missing payloadSha256", [](Json& j) { j.erase("payloadSha256"); }},
      {"null version", [](Json& j) { j["version"] = nullptr; }},
      {"build as number", [](Json& j) { j["build"] = 120; }},
      {"schema as string", [](Json& j) { j["schema"] = "1"; }},
      {"schema fraction", [](Json& j) { j["schema"] = 1.5; }},
      {"size beyond 64 bits", [](Json& j) { j["artifact"]["size"] = 18446744073709551615ull; }},
      {"artifact not object", [](Json& j) { j["artifact"] = "x.dmg"; }},
      {"artifact missing size", [](Json& j) { j["artifact"].erase("size"); }},
      {"top level array", [](Json& j) { j = Json::array({j}); }},
  };
  for (const auto& c : cases) {
    Json manifest = validManifest();
    c.change(manifest);
    EXPECT_THROW(UpdateRelease::decode(manifest.dump()), platform::DecodingError) << c.name;
  }
  EXPECT_THROW(UpdateRelease::decode("{not json"), platform::JsonError);
  EXPECT_THROW(UpdateRelease::decode(""), platform::JsonError);
}

TEST_F(UpdateReleaseTest, FormatChecks) {
  struct Case {
    const char* name;
    std::function<void(Json&)> change;
    bool valid;
  } cases[] = {
      {"schema 2", [](Json& j) { j["schema"] = 2; }, false},
      {"product case", [](Json& j) { j["product"] = "com.bramlow.Safari-extension"; }, false},
      {"build one digit",
       [](Json& j) {
         j["build"] = "7";
         j["artifact"]["name"] = "BramlowForSafari-7.dmg";
       },
       true},
      {"build fifteen nines",
       [](Json& j) {
         j["build"] = "999999999999999";
         j["artifact"]["name"] = "BramlowForSafari-999999999999999.dmg";
       },
       true},
      {"build zero",
       [](Json& j) {
         j["build"] = "0";
         j["artifact"]["name"] = "BramlowForSafari-0.dmg";
       },
       false},
      {"build leading zero",
       [](Json& j) {
         j["build"] = "0120";
         j["artifact"]["name"] = "BramlowForSafari-0120.dmg";
       },
       false},
      {"build sixteen digits",
       [](Json& j) {
         j["build"] = "1000000000000000";
         j["artifact"]["name"] = "BramlowForSafari-1000000000000000.dmg";
       },
       false},
      {"build letter",
       [](Json& j) {
         j["build"] = "12a";
         j["artifact"]["name"] = "BramlowForSafari-12a.dmg";
       },
       false},
      {"build empty",
       [](Json& j) {
         j["build"] = "";
         j["artifact"]["name"] = "BramlowForSafari-.dmg";
       },
       false},
      {"build trailing newline",
       [](Json& j) {
         j["build"] = "5\n";
         j["artifact"]["name"] = "BramlowForSafari-5\n.dmg";
       },
       false},
      {"version one part", [](Json& j) { j["version"] = "2"; }, true},
      {"version leading zeros", [](Json& j) { j["version"] = "00001.2"; }, true},
      {"version four parts", [](Json& j) { j["version"] = "1.2.3.4"; }, false},
      {"version leading dot", [](Json& j) { j["version"] = ".1.2"; }, false},
      {"version trailing dot", [](Json& j) { j["version"] = "1.2."; }, false},
      {"version letter", [](Json& j) { j["version"] = "1.2b"; }, false},
      {"version six digits", [](Json& j) { j["version"] = "123456.1"; }, false},
      {"version trailing newline", [](Json& j) { j["version"] = "1.2\n"; }, false},
      {"minimum system bad", [](Json& j) { j["minimumSystemVersion"] = "11.x"; }, false},
      {"payload version any text", [](Json& j) { j["payloadVersion"] = "beta 2 (ünï)"; }, true},
      {"payload version empty", [](Json& j) { j["payloadVersion"] = ""; }, false},
      {"payload digest upper case", [](Json& j) { j["payloadSha256"] = std::string(64, 'A'); },
       false},
      {"payload digest 63", [](Json& j) { j["payloadSha256"] = std::string(63, 'a'); }, false},
      {"payload digest 65", [](Json& j) { j["payloadSha256"] = std::string(65, 'a'); }, false},
      {"payload digest newline", [](Json& j) { j["payloadSha256"] = std::string(64, 'a') + "\n"; },
       false},
      {"artifact name case", [](Json& j) { j["artifact"]["name"] = "bramlowForSafari-120.dmg"; },
       false},
      {"artifact name other build",
       [](Json& j) { j["artifact"]["name"] = "BramlowForSafari-121.dmg"; }, false},
      {"artifact name extension",
       [](Json& j) { j["artifact"]["name"] = "BramlowForSafari-120.DMG"; }, false},
      {"artifact digest upper", [](Json& j) { j["artifact"]["sha256"] = std::string(64, 'F'); },
       false},
      {"size zero", [](Json& j) { j["artifact"]["size"] = 0; }, false},
      {"size one", [](Json& j) { j["artifact"]["size"] = 1; }, true},
      {"size 1 GiB", [](Json& j) { j["artifact"]["size"] = 1073741824; }, true},
      {"size above 1 GiB", [](Json& j) { j["artifact"]["size"] = 1073741825; }, false},
      {"size negative", [](Json& j) { j["artifact"]["size"] = -1; }, false},
  };
  for (const auto& c : cases) {
    Json manifest = validManifest();
    c.change(manifest);
    EXPECT_EQ(validation(manifest), c.valid ? "" : std::string(markers::kInformationInvalid))
        << c.name;
  }
}

TEST_F(UpdateReleaseTest, MinimumSystem) {
  env_.setSystemVersion(13, 10, 0);
  struct Case {
    const char* minimum;
    bool passes;
  } cases[] = {
      {"13", true},    {"13.0", true},     {"13.0.0", true},     {"13.9", true},
      {"13.10", true}, {"013.010", true},  {"13.10.1", false},   {"13.11", false},
      {"14", false},   {"12.99999", true}, {"99999.0.0", false},
  };
  for (const auto& c : cases) {
    Json manifest = validManifest();
    manifest["minimumSystemVersion"] = c.minimum;
    EXPECT_EQ(validation(manifest),
              c.passes ? "" : std::string(markers::kMinimumSystemRequired) + " " + c.minimum)
        << c.minimum;
  }
  // A format failure wins over the system check.
  Json manifest = validManifest();
  manifest["minimumSystemVersion"] = "14";
  manifest["schema"] = 2;
  EXPECT_EQ(validation(manifest), markers::kInformationInvalid);
}

TEST(ReleasePatternsTest, WholeValueOnly) {
  EXPECT_TRUE(bramlow::matchesBuildPattern("1"));
  EXPECT_FALSE(bramlow::matchesBuildPattern("1\n"));
  EXPECT_FALSE(bramlow::matchesBuildPattern(" 1"));
  EXPECT_FALSE(bramlow::matchesBuildPattern(std::string_view("1\0", 2)));
  EXPECT_TRUE(bramlow::matchesVersionPattern("99999.99999.99999"));
  EXPECT_FALSE(bramlow::matchesVersionPattern(""));
  EXPECT_FALSE(bramlow::matchesVersionPattern("1..2"));
  EXPECT_FALSE(bramlow::matchesDigestPattern(""));
}

}  // namespace
