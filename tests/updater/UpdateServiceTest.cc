#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"
#include "updater/UpdateService.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;
using bramlow::UpdateFailure;
using bramlow::UpdateService;
using platform::plist::Dictionary;
namespace markers = bramlow::markers;

class UpdateServiceTest : public ::testing::Test {
 protected:
  std::string constructionOutcome(const fs::path& updaterPath) {
    try {
      UpdateService service{platform::Bundle(updaterPath)};
      return "";
    } catch (const UpdateFailure& failure) {
      return failure.text();
    }
  }

  TempDir dir_;
  TestEnv env_{dir_.path()};
  platform::ScopedEnvForTesting scoped_{env_};
};

TEST_F(UpdateServiceTest, FindsTheInstalledAppAndMakesAPrivateCache) {
  const TestApp app = makeTestApp(dir_.path() / "Applications");
  const UpdateService service{platform::Bundle(app.updaterURL)};
  EXPECT_EQ(service.appURL, app.appURL);
  EXPECT_EQ(service.product.appID, kAppID);
  // SHA-256 of "https://127.0.0.1:8443/updates/".
  const fs::path expected = env_.cachesDirectory() / "com.bramlow.updates" / kAppID /
                            "bf324673ef30954b1a8843fe12ad34a2d6857aba3014f0bd4313402af9f709d7";
  EXPECT_EQ(service.cache, expected);
  struct stat info {};
  ASSERT_EQ(stat(service.cache.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(&service.files, &platform::env());

  // A second start finds the folder and succeeds.
  const UpdateService again{platform::Bundle(app.updaterURL)};
  EXPECT_EQ(again.cache, service.cache);
}

TEST_F(UpdateServiceTest, CacheFolderFollowsTheServerAddressAsWritten) {
  auto cacheFor = [&](const char* folder, const std::string& base) {
    Dictionary info = defaultUpdaterInfo();
    info["UpdateBaseURL"] = base;
    const TestApp app =
        makeTestApp(dir_.path() / folder, defaultAppInfo(), defaultExtensionInfo(), info);
    return UpdateService{platform::Bundle(app.updaterURL)}.cache;
  };
  const fs::path a = cacheFor("one", "https://a.example/updates/");
  const fs::path sameServer = cacheFor("two", "https://a.example/updates/");
  const fs::path noSlash = cacheFor("three", "https://a.example/updates");
  const fs::path other = cacheFor("four", "https://b.example/updates/");
  EXPECT_EQ(a, sameServer);
  EXPECT_NE(a, noSlash);
  EXPECT_NE(a, other);
}

TEST_F(UpdateServiceTest, RefusesAnUpdaterOutsideItsPlace) {
  EXPECT_EQ(constructionOutcome(makeTestApp(dir_.path() / "ok").updaterURL), "");
  // The user renamed the application, also only in letter case.
  for (const char* name : {"Bramlow.app", "bramlow for safari.app"}) {
    const TestApp renamed =
        makeTestApp(dir_.path() / "renamed", defaultAppInfo(), defaultExtensionInfo(),
                    defaultUpdaterInfo(), R"({"checkIntervalMilliseconds": 1})", name);
    EXPECT_EQ(constructionOutcome(renamed.updaterURL), markers::kNotInsideApp) << name;
  }
  // The updater directly in the application's XPCServices, not inside the extension.
  const TestApp app = makeTestApp(dir_.path() / "direct");
  const fs::path direct = app.appURL / "Contents/XPCServices/BramlowUpdater.xpc";
  fs::create_directories(direct.parent_path());
  fs::copy(app.updaterURL, direct, fs::copy_options::recursive);
  EXPECT_EQ(constructionOutcome(direct), markers::kNotInsideApp);
  // Another extension folder name.
  const fs::path otherExtension =
      app.appURL / "Contents/PlugIns/Other.appex/Contents/XPCServices/BramlowUpdater.xpc";
  fs::create_directories(otherExtension.parent_path());
  fs::copy(app.updaterURL, otherExtension, fs::copy_options::recursive);
  EXPECT_EQ(constructionOutcome(otherExtension), markers::kNotInsideApp);
  // Too close to the root to have an application around it.
  fs::copy(app.updaterURL, dir_.path() / "BramlowUpdater.xpc", fs::copy_options::recursive);
  EXPECT_EQ(constructionOutcome(dir_.path() / "BramlowUpdater.xpc"), markers::kNotInsideApp);
}

TEST_F(UpdateServiceTest, CacheThatCannotBeMadeFailsConstruction) {
  const TestApp app = makeTestApp(dir_.path() / "Applications");
  writeFile(env_.cachesDirectory() / "com.bramlow.updates", "a file in the way");
  EXPECT_THROW(UpdateService{platform::Bundle(app.updaterURL)}, std::system_error);
}

TEST_F(UpdateServiceTest, InstalledAppIdentification) {
  const TestApp app = makeTestApp(dir_.path() / "Applications");
  const UpdateService service{platform::Bundle(app.updaterURL)};
  struct Case {
    const char* name;
    std::function<void(Dictionary&)> change;
    bool identified;
  } cases[] = {
      {"plain", [](Dictionary&) {}, true},
      {"plus", [](Dictionary& d) { d["CFBundleVersion"] = "+7"; }, true},
      {"leading zeros", [](Dictionary& d) { d["CFBundleVersion"] = "007"; }, true},
      {"minus zero", [](Dictionary& d) { d["CFBundleVersion"] = "-0"; }, true},
      {"max u64", [](Dictionary& d) { d["CFBundleVersion"] = "18446744073709551615"; }, true},
      {"overflow", [](Dictionary& d) { d["CFBundleVersion"] = "18446744073709551616"; }, false},
      {"letter", [](Dictionary& d) { d["CFBundleVersion"] = "7a"; }, false},
      {"minus one", [](Dictionary& d) { d["CFBundleVersion"] = "-1"; }, false},
      {"empty", [](Dictionary& d) { d["CFBundleVersion"] = ""; }, false},
      {"sign only", [](Dictionary& d) { d["CFBundleVersion"] = "+"; }, false},
      {"leading space", [](Dictionary& d) { d["CFBundleVersion"] = " 7"; }, false},
      {"trailing newline", [](Dictionary& d) { d["CFBundleVersion"] = "7\n"; }, false},
      {"number", [](Dictionary& d) { d["CFBundleVersion"] = 7; }, false},
      {"missing build", [](Dictionary& d) { d.erase("CFBundleVersion"); }, false},
      {"other identifier", [](Dictionary& d) { d["CFBundleIdentifier"] = "com.bramlow.other"; },
       false},
      {"identifier case",
       [](Dictionary& d) { d["CFBundleIdentifier"] = "com.bramlow.Safari-extension"; }, false},
  };
  for (const auto& c : cases) {
    Dictionary info = defaultAppInfo();
    c.change(info);
    writeInfoPlist(app.appURL, info);
    if (c.identified) {
      EXPECT_EQ(service.installedAppInfo(), info) << c.name;
    } else {
      try {
        service.installedAppInfo();
        ADD_FAILURE() << c.name;
      } catch (const UpdateFailure& failure) {
        EXPECT_EQ(failure.text(), markers::kInstalledAppUnidentified) << c.name;
      }
    }
  }
  // An unreadable Info.plist is the file system's error, a top-level array the version marker.
  fs::remove(app.appURL / "Contents/Info.plist");
  EXPECT_THROW(service.installedAppInfo(), std::system_error);
  writeFile(app.appURL / "Contents/Info.plist",
            platform::plist::serialize(platform::plist::Array{}));
  try {
    service.installedAppInfo();
    ADD_FAILURE();
  } catch (const UpdateFailure& failure) {
    EXPECT_EQ(failure.text(), markers::kVersionInformationInvalid);
  }
}

}  // namespace
