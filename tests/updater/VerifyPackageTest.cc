// The package check on real signed bundles, with the assessment tool run as the system's.
#include <gtest/gtest.h>

#include <functional>

#include "shared/UpdateFailure.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/updater/UpdaterTestSupport.h"
#include "updater/verifyPackage.h"

namespace {
namespace fs = std::filesystem;
namespace markers = bramlow::markers;
namespace release = bramlow::release;
using namespace testing_support;
using platform::plist::Dictionary;

// What a test changes about a package before it is signed and checked.
struct Package {
  Dictionary app = defaultAppInfo();
  Dictionary extension = defaultExtensionInfo();
  Dictionary helper = defaultUpdaterInfo();
  std::optional<std::string> manifest = R"({"version": "1.0.0"})";
  std::string appIdentifier = kAppID;  // the signing identifier
  const char* helperIdentity = release::kDeveloperIdIdentity;
  std::optional<std::string> helperIdentifier;  // the signing identifier, when not its own
  std::string minimumSystemVersion = "11.0";
};

class VerifyPackageTest : public SigningTest {
 protected:
  VerifyPackageTest() {
    // The assessment runs as a child process that finds the platform root in its environment.
    fs::create_directories(env_.platformRoot() / "usr/sbin");
    fs::create_symlink(BRAMLOW_SPCTL, env_.platformRoot() / "usr/sbin/spctl");
    ::setenv("BRAMLOW_PLATFORM_ROOT", env_.platformRoot().c_str(), 1);
  }
  ~VerifyPackageTest() override { ::unsetenv("BRAMLOW_PLATFORM_ROOT"); }

  std::string check(const char* name, const Package& package) {
    const TestApp app =
        makeTestApp(dir_.path() / name, package.app, package.extension, package.helper);
    const fs::path manifest = app.extensionURL / "Contents/Resources/manifest.json";
    package.manifest ? writeFile(manifest, *package.manifest) : (void)fs::remove(manifest);
    signWith(app.updaterURL, package.helperIdentity, package.helperIdentifier);
    signWith(app.extensionURL, release::kDeveloperIdIdentity);
    signWith(app.appURL, release::kDeveloperIdIdentity, package.appIdentifier);
    bramlow::UpdateRelease stated;
    stated.version = stated.payloadVersion = "1.0.0";
    stated.build = "100";
    stated.minimumSystemVersion = package.minimumSystemVersion;
    return outcomeOf([&] { bramlow::verifyPackage(product_, app.appURL, stated); });
  }

  const bramlow::UpdateProduct product_ = bramlow::UpdateProduct::init(
      platform::Bundle(makeTestApp(dir_.path() / "product").updaterURL));
};

TEST_F(VerifyPackageTest, Rows) {
  const struct {
    const char* name;
    std::function<void(Package&)> change;
    std::string_view expected;
  } rows[] = {
      // The helper is the one inside the extension, as the product places it.
      {"same release", [](Package&) {}, ""},
      {"minimum 14.0 against 14.0.0",
       [](Package& p) {
         p.app["LSMinimumSystemVersion"] = "14.0";
         p.minimumSystemVersion = "14.0.0";
       },
       markers::kPackageMismatch},
      {"another version text", [](Package& p) { p.app["CFBundleShortVersionString"] = "1.0"; },
       markers::kPackageMismatch},
      {"another bundle identifier, right signing identifier",
       [](Package& p) { p.app["CFBundleIdentifier"] = "com.example.other"; },
       markers::kPackageMismatch},
      {"another signing identifier", [](Package& p) { p.appIdentifier = "com.example.other"; },
       markers::kInvalidSignature},
      {"direct updates as Boolean", [](Package& p) { p.extension["BramlowDirectUpdates"] = true; },
       markers::kAppExtensionVersionMismatch},
      {"extension of another build", [](Package& p) { p.extension["CFBundleVersion"] = "99"; },
       markers::kAppExtensionVersionMismatch},
      {"base address without its trailing slash",
       [](Package& p) { p.helper["UpdateBaseURL"] = "https://127.0.0.1:8443/updates"; },
       markers::kHelperMismatch},
      {"manifest missing", [](Package& p) { p.manifest.reset(); }, "system_error"},
      {"helper signed by another team's Developer ID",
       [](Package& p) { p.helperIdentity = release::kOtherTeamIdentity; },
       markers::kInvalidSignature},
      {"helper signed with another identifier",
       [](Package& p) { p.helperIdentifier = "com.example.other"; }, markers::kInvalidSignature},
      {"payload version as a number", [](Package& p) { p.manifest = R"({"version": 1})"; },
       markers::kPayloadVersionMismatch},
      {"another payload version", [](Package& p) { p.manifest = R"({"version": "2.0.0"})"; },
       markers::kPayloadVersionMismatch},
  };
  for (const auto& row : rows) {
    Package package;
    row.change(package);
    EXPECT_EQ(check(row.name, package), row.expected) << row.name;
  }
}

TEST_F(VerifyPackageTest, SystemAssessmentRejectsRevokedSigner) {
  writeFile(env_.platformRoot() / "System/Library/Security/revoked.txt",
            leafFingerprint(release::kDeveloperIdIdentity) + "\n");
  EXPECT_EQ(check("revoked", Package{}), markers::kCouldNotVerifyOrPrepare);
}

}  // namespace
