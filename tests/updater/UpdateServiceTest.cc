#include <gtest/gtest.h>

#include "shared/UpdateFailure.h"
#include "tests/support/FailureText.h"
#include "tests/updater/UpdaterTestSupport.h"
#include "updater/UpdateService.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;
using bramlow::UpdateService;
using platform::plist::Dictionary;
namespace markers = bramlow::markers;

using UpdateServiceTest = TestEnvTest;

TEST_F(UpdateServiceTest, FindsAndIdentifiesTheInstalledAppAndMakesAPrivateCache) {
  const TestApp app = makeTestApp(dir_.path() / "Applications");
  const UpdateService service{platform::Bundle(app.updaterURL)};
  EXPECT_EQ(service.appURL, app.appURL);
  // SHA-256 of "https://127.0.0.1:8443/updates/".
  EXPECT_EQ(service.cache, env_.cachesDirectory() / "com.bramlow.updates" / kAppID /
                               "bf324673ef30954b1a8843fe12ad34a2d6857aba3014f0bd4313402af9f709d7");
  EXPECT_EQ(fs::status(service.cache).permissions(), fs::perms::owner_all);
  const struct {
    const char* name;
    std::function<void(Dictionary&)> change;
    bool identified;
  } cases[] = {
      {"plain", [](Dictionary&) {}, true},
      {"plus", set("CFBundleVersion", "+7"), true},
      {"max u64", set("CFBundleVersion", "18446744073709551615"), true},
      {"overflow", set("CFBundleVersion", "18446744073709551616"), false},
      {"minus one", set("CFBundleVersion", "-1"), false},
      {"missing build", [](Dictionary& d) { d.erase("CFBundleVersion"); }, false},
      {"identifier case", set("CFBundleIdentifier", "com.bramlow.Safari-extension"), false},
  };
  for (const auto& c : cases) {
    Dictionary info = defaultAppInfo();
    c.change(info);
    writeInfoPlist(app.appURL, info);
    const std::string expected(c.identified ? "" : markers::kInstalledAppUnidentified);
    EXPECT_EQ(failureText([&] { EXPECT_EQ(service.installedAppInfo(), info) << c.name; }), expected)
        << c.name;
  }
  // A top-level array is the version marker.
  writeFile(app.appURL / "Contents/Info.plist",
            platform::plist::serialize(platform::plist::Array{}));
  EXPECT_EQ(failureText([&] { service.installedAppInfo(); }), markers::kVersionInformationInvalid);
}

}  // namespace
