#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <system_error>

#include "platform/Bundle.h"
#include "platform/Env.h"
#include "platform/Fd.h"
#include "platform/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestHttpsServer.h"
#include "tests/support/TestSupport.h"
#include "updater/UpdateService.h"
#include "updater/removeTemporaryItem.h"

namespace bramlow {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testing_support;

constexpr const char* kUuid = "0F8FAD5B-D9CB-469F-A165-70867728950E";
constexpr const char* kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string manifest(const std::string& build, const std::string& version,
                     const std::string& minimumSystem = "11.0") {
  return R"({"schema": 1, "product": ")" + std::string(kAppID) + R"(", "version": ")" + version +
         R"(", "build": ")" + build + R"(", "payloadVersion": ")" + version +
         R"(-web", "payloadSha256": ")" + kDigest + R"(", "minimumSystemVersion": ")" +
         minimumSystem + R"(", "artifact": {"name": ")" + kArtifactPrefix + "-" + build +
         R"(.dmg", "sha256": ")" + kDigest + R"(", "size": 1000}})";
}

ResultDictionary resultFor(const std::string& build, const std::string& version) {
  return {{"version", build}, {"nativeVersion", version}, {"payloadVersion", version + "-web"}};
}

// Sets a file's modification time to now + offset.
void setModificationTime(const fs::path& path, std::chrono::seconds offset) {
  fs::last_write_time(path,
                      std::chrono::file_clock::from_sys(std::chrono::system_clock::now() + offset));
}

std::chrono::system_clock::time_point modificationTime(const fs::path& path) {
  return platform::Env::Default().status(path).modificationTime;
}

// Another process that holds the lock on a file until the object goes. Between fork and _exit the
// child makes only async-signal-safe calls (the test's server threads run in the parent).
class LockHolder {
 public:
  explicit LockHolder(const fs::path& path) {
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    child_ = ::fork();
    if (child_ == 0) {
      ::close(release[1]);  // or the parent closing its end would never end the read below
      const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      char byte = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
      [[maybe_unused]] ssize_t n = ::write(ready[1], &byte, 1);
      n = ::read(release[0], &byte, 1);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_.reset(release[1]);
    char byte = 0;
    locked_ = ::read(ready[0], &byte, 1) == 1 && byte == 'y';
    ::close(ready[0]);
  }
  ~LockHolder() {
    release_.reset();
    if (child_ > 0) ::waitpid(child_, nullptr, 0);
  }
  bool locked() const { return locked_; }

 private:
  pid_t child_ = -1;
  platform::UniqueFd release_;
  bool locked_ = false;
};

class PerformOperationTest : public ::testing::Test {
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

  // The message of the failure an operation ends with, "" when it succeeds, or the kind of a
  // JSON error.
  std::string failureOf(const std::string& action, bool force = false) {
    try {
      service_->performOperation(action, "", force);
      return "";
    } catch (const UpdateFailure& failure) {
      return failure.text();
    } catch (const platform::JsonError&) {
      return "json";
    } catch (const platform::DecodingError&) {
      return "decoding";
    } catch (const std::system_error&) {
      return "system_error";
    }
  }

  // Nothing but the release information and the lock stays behind in the cache.
  void expectOnlyReleaseAndLock() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(service_->cache)) {
      names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, (std::set<std::string>{"release.json", "update.lock"}));
  }

  TempDir dir_;
  TestEnv env_{dir_.path()};
  platform::ScopedEnvForTesting scopedEnv_{env_};
  TestHttpsServer server_;
  TestApp app_;
  std::unique_ptr<UpdateService> service_;
  fs::path releaseFile_;
};

TEST_F(PerformOperationTest, CheckFetchesOnceAndAnswersFromTheCacheWithinTheInterval) {
  serve(manifest("120", "1.2.0"));
  EXPECT_EQ(check(), resultFor("120", "1.2.0"));
  EXPECT_EQ(fetches(), 1u);
  EXPECT_EQ(readFile(releaseFile_), manifest("120", "1.2.0"));  // the exact bytes
  expectOnlyReleaseAndLock();
  EXPECT_EQ(fs::status(service_->cache / "update.lock").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);

  // A newer release on the server is not seen before the interval is over.
  serve(manifest("130", "1.3.0"));
  EXPECT_EQ(service_->performOperation("check", "999", false), resultFor("120", "1.2.0"));
  EXPECT_EQ(fetches(), 1u);
}

TEST_F(PerformOperationTest, TheAgeOfReleaseJsonDecidesWhetherToFetch) {
  // The product's check interval is one hour.
  const struct {
    const char* name;
    std::chrono::seconds offset;
    bool fetches;
  } rows[] = {
      {"fresh", -30min, false},
      {"just within the interval", -59min, false},
      {"older than the interval", -61min, true},
      {"dated in the future", 10min, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    writeFile(releaseFile_, manifest("120", "1.2.0"));
    setModificationTime(releaseFile_, row.offset);
    serve(manifest("130", "1.3.0"));
    const std::size_t before = fetches();
    EXPECT_EQ(check(), row.fetches ? resultFor("130", "1.3.0") : resultFor("120", "1.2.0"));
    EXPECT_EQ(fetches() - before, row.fetches ? 1u : 0u);
  }
}

// A stale check without force and a fresh one with force: only a valid release renews the file.
TEST_F(PerformOperationTest, FailedFetchLeavesReleaseJsonAndNoTemporaryFile) {
  const std::string cached = manifest("120", "1.2.0");
  std::string atLimit = manifest("140", "1.4.0");
  atLimit.append(65536 - atLimit.size(), ' ');
  const std::string minimum(markers::kMinimumSystemRequired);
  const struct {
    const char* name;
    int status;
    std::string body;
    std::string expected;  // "" for success
  } rows[] = {
      {"not found", 404, "", std::string(markers::kNotRequestedRelease)},
      {"empty", 200, "", std::string(markers::kInvalidSize)},
      {"not JSON", 200, "<html>", "json"},
      {"missing members", 200, R"({"schema": 1})", "decoding"},
      {"invalid", 200, manifest("0120", "1.2.0"), std::string(markers::kInformationInvalid)},
      {"above the system", 200, manifest("130", "1.3.0", "14.1"), minimum + " 14.1"},
      {"exactly at the limit", 200, atLimit, ""},
  };
  for (const bool force : {false, true}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(row.name) + (force ? ", forced" : ""));
      writeFile(releaseFile_, cached);
      setModificationTime(releaseFile_, force ? -5min : -2h);
      const auto before = modificationTime(releaseFile_);
      server_.setReply("/updates/latest.json", row.status, row.body);
      EXPECT_EQ(failureOf("check", force), row.expected);
      if (row.expected.empty()) {
        EXPECT_EQ(readFile(releaseFile_), atLimit);
        EXPECT_GT(modificationTime(releaseFile_), before);
      } else {
        EXPECT_EQ(readFile(releaseFile_), cached);
        EXPECT_EQ(modificationTime(releaseFile_), before);
      }
      expectOnlyReleaseAndLock();
    }
  }
}

TEST_F(PerformOperationTest, ACachedReleaseThatNoLongerValidatesFailsUntilAForcedCheck) {
  serve(manifest("120", "1.2.0", "14.0"));
  check();
  env_.setSystemVersion(13, 6);  // the system went back below the release's minimum
  const std::string expected = std::string(markers::kMinimumSystemRequired) + " 14.0";
  EXPECT_EQ(failureOf("check"), expected);
  EXPECT_EQ(fetches(), 1u);
  serve(manifest("121", "1.2.1", "13.0"));
  EXPECT_EQ(check(/*force=*/true), resultFor("121", "1.2.1"));
  EXPECT_EQ(fetches(), 2u);
}

TEST_F(PerformOperationTest, AnotherProcessHoldingTheLockRefusesEveryAction) {
  serve(manifest("120", "1.2.0"));
  // A partial transfer is left alone while another process may be writing it, and removed by the
  // next operation that holds the lock; names that only look alike stay.
  const std::string uuid(kUuid);
  const fs::path partial = service_->cache / (".transfer-" + uuid + ".part");
  const std::string others[] = {".transfer-" + uuid.substr(1) + ".part",
                                ".transfer-" + uuid + ".part.1", "transfer-" + uuid + ".part"};
  writeFile(partial, "partial");
  for (const std::string& name : others) writeFile(service_->cache / name, "kept");
  {
    const LockHolder holder(service_->cache / "update.lock");
    ASSERT_TRUE(holder.locked());
    for (const char* action : {"check", "download", "install", "frobnicate", ""}) {
      SCOPED_TRACE(action);
      EXPECT_EQ(failureOf(action, true), markers::kOperationInProgress);
    }
    EXPECT_EQ(fetches(), 0u);
    EXPECT_TRUE(fs::exists(partial));
  }
  // The lock is free again once its holder is gone, and every operation releases it.
  EXPECT_EQ(check(), resultFor("120", "1.2.0"));
  EXPECT_FALSE(fs::exists(partial));
  for (const std::string& name : others) EXPECT_TRUE(fs::exists(service_->cache / name)) << name;
  EXPECT_EQ(failureOf("frobnicate"), markers::kOperationNotSupported);
  EXPECT_TRUE(LockHolder(service_->cache / "update.lock").locked());
}

TEST_F(PerformOperationTest, TheLockMustBeOpenableAsAPlainFile) {
  const fs::path lock = service_->cache / "update.lock";
  fs::create_symlink(dir_.path() / "elsewhere.lock", lock);
  EXPECT_EQ(failureOf("check"), markers::kLockNotOpened);
  EXPECT_FALSE(fs::exists(dir_.path() / "elsewhere.lock"));
  fs::remove(lock);

  fs::remove_all(service_->cache);
  EXPECT_EQ(failureOf("check"), markers::kLockNotOpened);
  EXPECT_FALSE(fs::exists(service_->cache));
}

TEST_F(PerformOperationTest, ActionsAreDispatchedOnlyAfterLockAndIdentification) {
  for (const char* action : {"frobnicate", "Check", "check ", "Download"}) {
    SCOPED_TRACE(action);
    EXPECT_EQ(failureOf(action), markers::kOperationNotSupported);
  }
  // Without a check before them, "download" and "install" have no release to work from.
  EXPECT_EQ(failureOf("download"), "system_error");
  EXPECT_EQ(failureOf("install"), "system_error");
  EXPECT_EQ(fetches(), 0u);

  // An installed application that cannot be identified fails even an unknown action.
  writeInfoPlist(app_.appURL, defaultAppInfo("not a build"));
  EXPECT_EQ(failureOf("frobnicate"), markers::kInstalledAppUnidentified);
  EXPECT_EQ(failureOf("check"), markers::kInstalledAppUnidentified);
  EXPECT_EQ(fetches(), 0u);
}

// A fresh "release.json" that is a FIFO or a link fails the check at once with the file system's
// error; nothing is fetched, and the lock is free again afterwards.
TEST_F(PerformOperationTest, ReleaseJsonIsReadOnlyAsARegularFile) {
  serve(manifest("130", "1.3.0"));
  ASSERT_EQ(::mkfifo(releaseFile_.c_str(), 0600), 0);
  ::alarm(20);  // a read that blocks ends the test process rather than hanging it
  EXPECT_EQ(failureOf("check"), "system_error");
  ::alarm(0);
  fs::remove(releaseFile_);
  writeFile(dir_.path() / "valid.json", manifest("120", "1.2.0"));
  fs::create_symlink(dir_.path() / "valid.json", releaseFile_);
  EXPECT_EQ(failureOf("check"), "system_error");
  EXPECT_EQ(fetches(), 0u);
  EXPECT_EQ(check(/*force=*/true), resultFor("130", "1.3.0"));
}

// Fails lstat of "release.json" with an error other than "not there".
class UnexaminableReleaseEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  platform::FileStatus status(const fs::path& path) override {
    if (path.filename() == "release.json") throw std::system_error(EACCES, std::generic_category());
    return EnvWrapper::status(path);
  }
};

TEST_F(PerformOperationTest, AReleaseJsonThatCannotBeExaminedFailsTheCheckWithoutFetching) {
  serve(manifest("120", "1.2.0"));
  UnexaminableReleaseEnv broken(env_);
  const platform::ScopedEnvForTesting scoped(broken);
  const UpdateService service{platform::Bundle(app_.updaterURL)};
  EXPECT_THROW(service.performOperation("check", "", false), std::system_error);
  EXPECT_EQ(fetches(), 0u);
}

// Breaks removal, as a file that cannot be deleted would.
class UnremovableEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  void removeItem(const fs::path& path) override {
    throw std::system_error(EACCES, std::generic_category(), "remove " + path.string());
  }
};

TEST(RemoveTemporaryItemTest, RemovesWhateverIsThereAndOnlyLogsAFailure) {
  TempDir dir;
  TestEnv env(dir.path());
  platform::ScopedEnvForTesting scoped(env);

  const fs::path file = dir.path() / "feed-1.json";
  const fs::path folder = dir.path() / "mount-1";
  const fs::path dangling = dir.path() / "download-1.dmg";
  writeFile(file, "x");
  writeFile(folder / "inner" / "file", "y");
  fs::create_symlink(dir.path() / "nowhere", dangling);
  for (const fs::path& path : {file, folder, dangling, dir.path() / "missing"}) {
    SCOPED_TRACE(path);
    removeTemporaryItem(path);
    EXPECT_EQ(fs::symlink_status(path).type(), fs::file_type::not_found);
  }
  EXPECT_TRUE(env.logLines().empty());

  writeFile(file, "x");
  UnremovableEnv unremovable(env);
  platform::ScopedEnvForTesting broken(unremovable);
  removeTemporaryItem(file);
  EXPECT_TRUE(fs::exists(file));
  const std::string reason =
      std::system_error(EACCES, std::generic_category(), "remove " + file.string()).what();
  EXPECT_EQ(env.logLines(), std::vector<std::string>{"Could not remove update temporary file " +
                                                     file.string() + ": " + reason});
}

}  // namespace
}  // namespace bramlow
