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

TEST(UpdateProductTest, InfoKeysAddressAndPolicy) {
  const std::string_view incomplete = markers::kConfigurationIncomplete;
  const std::string_view address = markers::kAddressInvalid;
  const std::string_view none = markers::kScheduleNotConfigured;
  const struct {
    const char* name;
    std::function<void(Dictionary&)> change;
    std::string_view expected;
    const char* policy = R"({"checkIntervalMilliseconds": 1})";  // nullptr: no policy file
    double interval = 0.001;  // seconds, when the product is made
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
      {"one second, other keys", {}, "", R"({"checkIntervalMilliseconds": 1000, "x": [1]})", 1.0},
      {"fraction", {}, "", R"({"checkIntervalMilliseconds": 1.5e-300})", 1.5e-303},
      {"zero", {}, none, R"({"checkIntervalMilliseconds": 0})"},
      {"string", {}, none, R"({"checkIntervalMilliseconds": "1000"})"},
      {"missing", {}, none, R"({"interval": 1000})"},
      {"no file", {}, none, nullptr},
      {"not json", {}, "json", "checkIntervalMilliseconds=1000"},
  };
  const TempDir dir;
  const fs::path path = dir.path() / "BramlowUpdater.xpc";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dictionary info = defaultUpdaterInfo();
    if (c.change) c.change(info);
    fs::remove_all(path);
    writeInfoPlist(path, info);
    if (c.policy) writeFile(path / "Contents/Resources/policy.json", c.policy);
    const auto made = [&] {
      EXPECT_DOUBLE_EQ(UpdateProduct::init(platform::Bundle(path)).checkInterval, c.interval);
    };
    EXPECT_EQ(outcomeOf(made), c.expected);
  }
}

}  // namespace
