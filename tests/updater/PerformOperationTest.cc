// performOperation against a loopback HTTPS server: the check interval, the lock and the order of
// the checks before an action.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/bundle/Bundle.h"
#include "platform/env/Fd.h"
#include "tests/support/TestHttpsServer.h"
#include "tests/updater/UpdaterTestSupport.h"
#include "updater/UpdateService.h"

namespace bramlow {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testing_support;

constexpr const char* kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string manifest(const std::string& build, const std::string& version) {
  return R"({"schema": 1, "product": ")" + std::string(kAppID) + R"(", "version": ")" + version +
         R"(", "build": ")" + build + R"(", "payloadVersion": ")" + version +
         R"(-web", "payloadSha256": ")" + kDigest +
         R"(", "minimumSystemVersion": "11.0", "artifact": {"name": ")" + kArtifactPrefix + "-" +
         build + R"(.dmg", "sha256": ")" + kDigest + R"(", "size": 1000}})";
}

ResultDictionary resultFor(const std::string& build, const std::string& version) {
  return {{"version", build}, {"nativeVersion", version}, {"payloadVersion", version + "-web"}};
}

// Takes the lock through an open file description of its own, which flock sets against the
// updater's as it would another process's.
bool lock(const fs::path& path, platform::UniqueFd& fd) {
  fd = platform::UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  return fd.valid() && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

class PerformOperationTest : public TestEnvTest {
 protected:
  void SetUp() override {
    TestTlsIdentity::shared().installTrust(dir_.path());
    platform::plist::Dictionary updaterInfo = defaultUpdaterInfo();
    updaterInfo["UpdateBaseURL"] = server_.url("/updates");
    app_ = makeTestApp(dir_.path() / "Applications", defaultAppInfo(), defaultExtensionInfo(),
                       updaterInfo);
    service_ = std::make_unique<UpdateService>(platform::Bundle(app_.updaterURL));
    releaseFile_ = service_->cache / "release.json";
  }

  void serve(const std::string& text) { server_.setReply("/updates/latest.json", 200, text); }
  std::size_t fetches() const { return server_.requestCount("/updates/latest.json"); }
  ResultDictionary check(bool force = false) {
    return service_->performOperation("check", "", force);
  }
  std::string failureOf(const std::string& action, bool force = false) {
    return outcomeOf([&] { service_->performOperation(action, "", force); });
  }
  // Writes release.json dated now + age.
  void cache(const std::string& text, std::chrono::seconds age) {
    writeFile(releaseFile_, text);
    fs::last_write_time(releaseFile_,
                        std::chrono::file_clock::from_sys(std::chrono::system_clock::now() + age));
  }

  TestHttpsServer server_;
  TestApp app_;
  std::unique_ptr<UpdateService> service_;
  fs::path releaseFile_;
};

TEST_F(PerformOperationTest, TheAgeOfReleaseJsonDecidesWhetherToFetch) {
  serve(manifest("120", "1.2.0"));
  EXPECT_EQ(check(), resultFor("120", "1.2.0"));
  EXPECT_EQ(readFile(releaseFile_), manifest("120", "1.2.0"));  // the exact bytes
  // The check interval is one hour; a build given with the check does not shorten it.
  const struct {
    const char* name;
    std::chrono::seconds age;
    bool fetches;
  } rows[] = {{"just within", -59min, false}, {"older", -61min, true}, {"future", 10min, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    cache(manifest("120", "1.2.0"), row.age);
    serve(manifest("130", "1.3.0"));
    const std::size_t before = fetches();
    EXPECT_EQ(service_->performOperation("check", "999", false),
              row.fetches ? resultFor("130", "1.3.0") : resultFor("120", "1.2.0"));
    EXPECT_EQ(fetches() - before, row.fetches ? 1u : 0u);
  }
}

// A partial transfer is left alone while the lock is held, and removed by the next operation that
// holds it; names that only look alike stay.
TEST_F(PerformOperationTest, TheLockAndTheInstalledAppComeBeforeAnyAction) {
  serve(manifest("120", "1.2.0"));
  const fs::path partial = service_->cache / ".transfer-0F8FAD5B-D9CB-469F-A165-70867728950E.part";
  writeFile(partial, "partial");
  platform::UniqueFd held;
  ASSERT_TRUE(lock(service_->cache / "update.lock", held));
  for (const char* action : {"check", "frobnicate"})
    EXPECT_EQ(failureOf(action, true), markers::kOperationInProgress) << action;
  EXPECT_EQ(fetches(), 0u);
  EXPECT_TRUE(fs::exists(partial));
  held.reset();
  EXPECT_EQ(check(), resultFor("120", "1.2.0"));
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_EQ(failureOf("frobnicate"), markers::kOperationNotSupported);
  EXPECT_TRUE(lock(service_->cache / "update.lock", held));
  held.reset();
  // A link at the lock's name is not followed; an action is looked up only after the lock is taken
  // and the installed application identified.
  EXPECT_EQ(failureOf("Check"), markers::kOperationNotSupported);
  writeInfoPlist(app_.appURL, defaultAppInfo("not a build"));
  EXPECT_EQ(failureOf("frobnicate"), markers::kInstalledAppUnidentified);
  EXPECT_EQ(fetches(), 1u);  // the check above only
  fs::remove(service_->cache / "update.lock");
  fs::create_symlink(dir_.path() / "elsewhere.lock", service_->cache / "update.lock");
  EXPECT_EQ(failureOf("frobnicate"), markers::kLockNotOpened);
  EXPECT_FALSE(fs::exists(dir_.path() / "elsewhere.lock"));
}

}  // namespace
}  // namespace bramlow
