// The product's configuration from the updater's Info.plist and policy file.
#include <gtest/gtest.h>

#include "tests/updater/UpdaterTestSupport.h"
#include "updater/UpdateProduct.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;
using bramlow::UpdateProduct;
using platform::plist::Dictionary;
namespace markers = bramlow::markers;

constexpr const char* kPolicy = R"({"checkIntervalMilliseconds": 1})";

// Writes an updater bundle with the given Info.plist and policy (nullptr: no policy file).
platform::Bundle updaterBundle(const fs::path& folder, const Dictionary& info, const char* policy) {
  const fs::path path = folder / "BramlowUpdater.xpc";
  fs::remove_all(path);
  writeInfoPlist(path, info);
  if (policy) writeFile(path / "Contents/Resources/policy.json", policy);
  return platform::Bundle(path);
}

std::string outcome(const platform::Bundle& bundle) {
  return outcomeOf([&] { UpdateProduct::init(bundle); });
}

TEST(UpdateProductTest, InfoKeysAndAddress) {
  const std::string_view incomplete = markers::kConfigurationIncomplete;
  const std::string_view address = markers::kAddressInvalid;
  const struct {
    const char* name;
    std::function<void(Dictionary&)> change;
    std::string_view expected;
  } cases[] = {
      {"missing key", [](Dictionary& d) { d.erase("UpdateSigningTeam"); }, incomplete},
      {"empty string", set("UpdateAppName", ""), incomplete},
      // Names that become one path component must stay one.
      {"absolute identifier", set("UpdateAppIdentifier", "/etc/x"), incomplete},
      {"identifier dot dot", set("UpdateAppIdentifier", ".."), incomplete},
      {"app name of two components", set("UpdateAppName", "Apps/x.app"), incomplete},
      {"prefix leaving the folder", set("UpdateArtifactPrefix", "../x"), incomplete},
      {"dots inside a name pass", set("UpdateAppName", "..x.app"), ""},
      {"http", set("UpdateBaseURL", "http://example.com/"), address},
      {"no host", set("UpdateBaseURL", "https:/path"), address},
      {"empty query", set("UpdateBaseURL", "https://example.com/?"), address},
      {"user", set("UpdateBaseURL", "https://me@example.com/"), address},
      {"port and path", set("UpdateBaseURL", "https://example.com:8443/a/b"), ""},
  };
  const TempDir dir;
  for (const auto& c : cases) {
    Dictionary info = defaultUpdaterInfo();
    c.change(info);
    EXPECT_EQ(outcome(updaterBundle(dir.path(), info, kPolicy)), c.expected) << c.name;
  }
}

TEST(UpdateProductTest, Policy) {
  const std::string_view none = markers::kScheduleNotConfigured;
  const struct {
    const char* name;
    const char* policy;
    std::string_view expected;
    double interval;
  } cases[] = {
      {"one second, other keys", R"({"checkIntervalMilliseconds": 1000, "x": [1]})", "", 1.0},
      {"fraction", R"({"checkIntervalMilliseconds": 1.5e-300})", "", 1.5e-303},
      {"zero", R"({"checkIntervalMilliseconds": 0})", none, 0},
      {"string", R"({"checkIntervalMilliseconds": "1000"})", none, 0},
      {"missing", R"({"interval": 1000})", none, 0},
      {"no file", nullptr, none, 0},
      {"not json", "checkIntervalMilliseconds=1000", "json", 0},
  };
  const TempDir dir;
  for (const auto& c : cases) {
    const platform::Bundle bundle = updaterBundle(dir.path(), defaultUpdaterInfo(), c.policy);
    EXPECT_EQ(outcome(bundle), c.expected) << c.name;
    if (c.expected.empty()) {
      EXPECT_DOUBLE_EQ(UpdateProduct::init(bundle).checkInterval, c.interval) << c.name;
    }
  }
}

}  // namespace
