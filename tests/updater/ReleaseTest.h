// A platform root with the system's tools, release 10 made by the publishing tool and build 9
// installed: the ground on which the install tests and the hostile-server suite stand.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "platform/bundle/Bundle.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/support/LeakCheck.h"
#include "tests/support/TestHttpsServer.h"
#include "tests/updater/UpdaterTestSupport.h"
#include "tools/release/Package.h"
#include "updater/UpdateService.h"

namespace bramlow {
namespace fs = std::filesystem;
using namespace testing_support;

inline constexpr const char* kOldBuild = "9";  // "10" is newer only as a number
inline constexpr const char* kNewBuild = "10";
// A test constant: a failed allocation before main ends the test binary, as it should.
inline const std::string kImageName =  // NOLINT(cert-err58-cpp)
    std::string(kArtifactPrefix) + "-10.dmg";

class ReleaseTest : public SigningTest {
 protected:
  void SetUp() override {
    if (::access("/dev/fuse", R_OK | W_OK) != 0 || ::access("/usr/bin/squashfuse", X_OK) != 0) {
      GTEST_SKIP() << "no FUSE or squashfuse on this machine";
    }
    const fs::path root = env_.platformRoot();
    fs::create_directories(root / "usr/sbin");
    fs::create_directories(root / "usr/bin");
    fs::create_symlink(BRAMLOW_SPCTL, root / "usr/sbin/spctl");
    fs::create_symlink(BRAMLOW_HDIUTIL, root / "usr/bin/hdiutil");
    fs::create_symlink(BRAMLOW_DITTO, root / "usr/bin/ditto");
    ::setenv("BRAMLOW_PLATFORM_ROOT", root.c_str(), 1);
  }
  void TearDown() override {
    // A test that failed half-way must not leave a mount behind.
    for (const std::string& name : service_ ? namesIn(service_->cache) : std::set<std::string>{})
      if (name.starts_with("mount-"))
        runProgram({"/usr/bin/fusermount3", "-u", service_->cache / name});
    ::unsetenv("BRAMLOW_PLATFORM_ROOT");
  }

  // Publishes release `build` for baseURL into `out`, from the same source application.
  void package(const std::string& build, const fs::path& out, const char* identity) {
    const fs::path source = dir_.path() / "source";
    if (!fs::exists(source)) makeTestApp(source);
    release::package({source / kAppName, identityFile(identity), "2.0.0", build, "2.0.0", "11.0",
                      baseURL_, out});
  }

  // Publishes release 10 for baseURL and installs build 9 that looks for updates there.
  void publish(const std::string& baseURL) {
    baseURL_ = baseURL;
    package(kNewBuild, release_, release::kDeveloperIdIdentity);
    latest_ = readFile(release_ / "latest.json");
    app_ = makeInstalledApp(dir_.path() / "Applications");
    service_ = std::make_unique<UpdateService>(platform::Bundle(app_.updaterURL));
  }

  // Build 9, signed, with the updater pointing at the test server.
  TestApp makeInstalledApp(const fs::path& folder) {
    platform::plist::Dictionary updater = defaultUpdaterInfo(kOldBuild);
    updater["UpdateBaseURL"] = baseURL_;
    TestApp app =
        makeTestApp(folder, defaultAppInfo(kOldBuild), defaultExtensionInfo(kOldBuild), updater);
    signApp(app);
    return app;
  }

  // Watches the cache and the folder that holds the application (serverPort: see LeakCheck).
  LeakCheck leakCheck(int serverPort = 0) const {
    return LeakCheck(dir_.path(), {service_->cache, app_.appURL.parent_path()}, serverPort);
  }

  std::string baseURL_;
  fs::path release_ = dir_.path() / "release";
  std::string latest_;
  TestApp app_;
  std::unique_ptr<UpdateService> service_;
};

// Release 10 published on a loopback HTTPS server of this process.
class ServedReleaseTest : public ReleaseTest {
 protected:
  void SetUp() override {
    ReleaseTest::SetUp();
    if (IsSkipped()) return;
    TestTlsIdentity::shared().installTrust(env_.platformRoot());
    publish(server_.url("/updates/"));
  }
  static TestHttpsServer::Reply body(std::string bytes) { return {.body = std::move(bytes)}; }
  // Serves latest.json and the image under the release's base address.
  void offer(const std::string& latest, TestHttpsServer::Reply image) {
    server_.setReply("/updates/latest.json", 200, latest);
    server_.setReply("/updates/" + kImageName, std::move(image));
  }
  LeakCheck leakCheck() const { return ReleaseTest::leakCheck(server_.port()); }

  TestHttpsServer server_;
};

}  // namespace bramlow
