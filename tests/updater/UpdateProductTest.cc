#include <gtest/gtest.h>

#include <functional>

#include "platform/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"
#include "updater/UpdateProduct.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;
using bramlow::UpdateFailure;
using bramlow::UpdateProduct;
using platform::plist::Dictionary;
namespace markers = bramlow::markers;

// Writes an updater bundle with the given Info.plist and policy (nullptr: no policy file).
platform::Bundle updaterBundle(const fs::path& folder, const Dictionary& info, const char* policy) {
  const fs::path path = folder / "BramlowUpdater.xpc";
  fs::remove_all(path);
  writeInfoPlist(path, info);
  if (policy) writeFile(path / "Contents/Resources/policy.json", policy);
  return platform::Bundle(path);
}

// "" for success, the marker for an UpdateFailure, or the name of another error type.
std::string outcome(const platform::Bundle& bundle) {
  try {
    UpdateProduct::init(bundle);
    return "";
  } catch (const UpdateFailure& failure) {
    return failure.text();
  } catch (const platform::JsonError&) {
    return "JsonError";
  } catch (const std::system_error&) {
    return "system_error";
  }
}

TEST(UpdateProductTest, ReadsEveryValue) {
  TempDir dir;
  const UpdateProduct product = UpdateProduct::init(
      updaterBundle(dir.path(), defaultUpdaterInfo(), R"({"checkIntervalMilliseconds": 1})"));
  EXPECT_EQ(product.appID, kAppID);
  EXPECT_EQ(product.extensionID, kExtensionID);
  EXPECT_EQ(product.extensionName, kExtensionName);
  EXPECT_EQ(product.appName, kAppName);
  EXPECT_EQ(product.artifactPrefix, kArtifactPrefix);
  EXPECT_EQ(product.team, kTeam);
  EXPECT_EQ(product.baseURL.absoluteString(), kBaseURL);
}

std::function<void(Dictionary&)> set(const char* key, std::string value) {
  return [key, value](Dictionary& d) { d[key] = value; };
}
constexpr std::string_view incomplete = markers::kConfigurationIncomplete;

// A change of the server address.
std::function<void(Dictionary&)> address(const char* url) {
  return [url](Dictionary& d) { d["UpdateBaseURL"] = url; };
}

TEST(UpdateProductTest, InfoKeysAndAddress) {
  const struct {
    const char* name;
    std::function<void(Dictionary&)> change;
    std::string_view expected;
  } cases[] = {
      {"missing key", [](Dictionary& d) { d.erase("UpdateSigningTeam"); },
       markers::kConfigurationIncomplete},
      {"empty string", [](Dictionary& d) { d["UpdateAppName"] = ""; },
       markers::kConfigurationIncomplete},
      {"number", [](Dictionary& d) { d["UpdateAppIdentifier"] = 5; },
       markers::kConfigurationIncomplete},
      {"boolean", [](Dictionary& d) { d["UpdateExtensionName"] = true; },
       markers::kConfigurationIncomplete},
      {"spaces pass", [](Dictionary& d) { d["UpdateArtifactPrefix"] = "   "; }, ""},
      // Names that become one path component must stay one.
      {"absolute identifier", set("UpdateAppIdentifier", "/etc/x"), incomplete},
      {"identifier dot dot", set("UpdateAppIdentifier", ".."), incomplete},
      {"extension name dot", set("UpdateExtensionName", "."), incomplete},
      {"app name of two components", set("UpdateAppName", "Apps/x.app"), incomplete},
      {"prefix leaving the folder", set("UpdateArtifactPrefix", "../x"), incomplete},
      {"dots inside a name pass", set("UpdateAppName", "..x.app"), ""},
      {"missing key before bad address",
       [](Dictionary& d) {
         d.erase("UpdateArtifactPrefix");
         d["UpdateBaseURL"] = "http://x/";
       },
       markers::kConfigurationIncomplete},
      {"http", address("http://example.com/"), markers::kAddressInvalid},
      {"capital scheme", address("HTTPS://example.com/"), markers::kAddressInvalid},
      {"no host", address("https:/path"), markers::kAddressInvalid},
      {"not a url", address("example.com"), markers::kAddressInvalid},
      {"query", address("https://example.com/?a=b"), markers::kAddressInvalid},
      {"empty query", address("https://example.com/?"), markers::kAddressInvalid},
      {"empty fragment", address("https://example.com/#"), markers::kAddressInvalid},
      {"user", address("https://me@example.com/"), markers::kAddressInvalid},
      {"port and path", address("https://example.com:8443/a/b"), ""},
  };
  TempDir dir;
  for (const auto& c : cases) {
    Dictionary info = defaultUpdaterInfo();
    c.change(info);
    EXPECT_EQ(outcome(updaterBundle(dir.path(), info, R"({"checkIntervalMilliseconds": 1})")),
              c.expected)
        << c.name;
  }
}

TEST(UpdateProductTest, Policy) {
  const struct {
    const char* name;
    const char* policy;
    std::string_view expected;
    double interval;
  } cases[] = {
      {"one second, other keys", R"({"checkIntervalMilliseconds": 1000, "x": [1]})", "", 1.0},
      {"one millisecond", R"({"checkIntervalMilliseconds": 1})", "", 0.001},
      {"fraction", R"({"checkIntervalMilliseconds": 1.5e-300})", "", 1.5e-303},
      {"zero", R"({"checkIntervalMilliseconds": 0})", markers::kScheduleNotConfigured, 0},
      {"negative", R"({"checkIntervalMilliseconds": -1000})", markers::kScheduleNotConfigured, 0},
      {"string", R"({"checkIntervalMilliseconds": "1000"})", markers::kScheduleNotConfigured, 0},
      {"boolean", R"({"checkIntervalMilliseconds": true})", markers::kScheduleNotConfigured, 0},
      {"null", R"({"checkIntervalMilliseconds": null})", markers::kScheduleNotConfigured, 0},
      {"missing", R"({"interval": 1000})", markers::kScheduleNotConfigured, 0},
      {"array", R"([{"checkIntervalMilliseconds": 1000}])", markers::kScheduleNotConfigured, 0},
      {"no file", nullptr, markers::kScheduleNotConfigured, 0},
      {"not json", "checkIntervalMilliseconds=1000", "JsonError", 0},
      {"fragment", "1000", "JsonError", 0},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const platform::Bundle bundle = updaterBundle(dir.path(), defaultUpdaterInfo(), c.policy);
    EXPECT_EQ(outcome(bundle), c.expected) << c.name;
    if (c.expected.empty()) {
      EXPECT_DOUBLE_EQ(UpdateProduct::init(bundle).checkInterval, c.interval) << c.name;
    }
  }
  // A policy folder in place of the file is not a resource; an unreadable file is the file error.
  const platform::Bundle bundle = updaterBundle(dir.path(), defaultUpdaterInfo(), nullptr);
  fs::create_directories(bundle.resourcesPath() / "policy.json");
  EXPECT_EQ(outcome(bundle), markers::kScheduleNotConfigured);
  if (geteuid() != 0) {
    const platform::Bundle locked =
        updaterBundle(dir.path(), defaultUpdaterInfo(), R"({"checkIntervalMilliseconds": 1})");
    fs::permissions(locked.resourcesPath() / "policy.json", fs::perms::none);
    EXPECT_EQ(outcome(locked), "system_error");
  }
}

}  // namespace
