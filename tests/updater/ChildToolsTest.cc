// The system's tools around an updater that dies or a mount that will not go: no tool outlives
// the updater, and what either leaves is cleared by the next operation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Bundle.h"
#include "shared/UpdateFailure.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/support/FailureText.h"
#include "tools/release/Package.h"
#include "updater/UpdateService.h"
#include "updater/runCommand.h"

namespace bramlow {
namespace {
namespace fs = std::filesystem;
using namespace testing_support;
using namespace std::chrono_literals;

// Whether a process has ended (a zombie nobody reaps counts: it runs no code).
bool ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  return !std::getline(stat, line) || line.find(") Z ") != std::string::npos;
}

bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(10ms);
  return done();
}

std::vector<std::string> mountFolders(const fs::path& cache) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(cache)) {
    if (entry.path().filename().string().starts_with("mount-")) names.push_back(entry.path());
  }
  return names;
}

class ChildToolsTest : public SigningTest {
 protected:
  void SetUp() override {
    if (::access("/dev/fuse", R_OK | W_OK) != 0 || ::access("/usr/bin/squashfuse", X_OK) != 0) {
      GTEST_SKIP() << "no FUSE or squashfuse on this machine";
    }
    fs::create_directories(env_.platformRoot() / "usr/sbin");
    fs::create_directories(env_.platformRoot() / "usr/bin");
    fs::create_symlink(BRAMLOW_SPCTL, env_.platformRoot() / "usr/sbin/spctl");
    fs::create_symlink(BRAMLOW_HDIUTIL, env_.platformRoot() / "usr/bin/hdiutil");
    ::setenv("BRAMLOW_PLATFORM_ROOT", env_.platformRoot().c_str(), 1);  // for the tools
    app_ = makeTestApp(dir_.path() / "Applications");
    signApp(app_);
    service_ = std::make_unique<UpdateService>(platform::Bundle(app_.updaterURL));
  }
  void TearDown() override {
    ::unsetenv("BRAMLOW_PLATFORM_ROOT");
    if (!service_) return;
    // A test that failed half-way must not leave a mount behind.
    for (const std::string& folder : mountFolders(service_->cache))
      runProgram({"/usr/bin/fusermount3", "-u", folder});
  }
  // The next operation: it clears what earlier ones left, then fails for want of release
  // information.
  void nextOperation() {
    EXPECT_THROW(service_->performOperation("install", "10", false), std::system_error);
  }

  TestApp app_;
  std::unique_ptr<UpdateService> service_;
};

TEST_F(ChildToolsTest, AToolEndsWithTheUpdaterThatStartedIt) {
  // A copy that has made part of its output (holding its process id) and then takes its time.
  writeFile(env_.platformRoot() / "usr/bin/ditto",
            "#!/bin/sh\nmkdir -p \"$2\" && echo $$ >\"$2/new\" && mv \"$2/new\" \"$2/part\" && "
            "exec sleep 60\n");
  fs::permissions(env_.platformRoot() / "usr/bin/ditto", fs::perms::owner_all);
  const fs::path replacement =
      app_.appURL.parent_path() / (std::string(UpdateService::kReplacementFolderPrefix) + "Ab12Cd");
  const fs::path part = replacement / "x.app/part";
  // The operations run on the work queue's thread, not the process's first one.
  for (const bool onOtherThread : {false, true}) {
    SCOPED_TRACE(onOtherThread ? "from another thread" : "from the first thread");
    const pid_t updater = ::fork();
    if (updater == 0) {
      const auto copy = [&] { runCommand("/usr/bin/ditto", {"/nowhere", part.parent_path()}); };
      onOtherThread ? std::thread(copy).join() : copy();
      ::_exit(0);
    }
    ASSERT_TRUE(eventually([&] { return fs::exists(part); }));
    const pid_t tool = std::stoi(readFile(part));
    ::kill(updater, SIGKILL);
    ::waitpid(updater, nullptr, 0);
    EXPECT_TRUE(eventually([&] { return ended(tool); }));
    ::kill(tool, SIGKILL);  // only when it did not end by itself
    nextOperation();
    EXPECT_FALSE(fs::exists(replacement));
  }
}

// Holds a file of the mount open right after the attach, so that the detach finds it busy.
class BusyMountEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  platform::ProcessResult runProcess(const fs::path& executable,
                                     const std::vector<std::string>& arguments) override {
    platform::ProcessResult result = EnvWrapper::runProcess(executable, arguments);
    if (arguments.at(0) == "attach" && result.succeeded()) {
      held = platform::UniqueFd(
          ::open((fs::path(arguments.at(5)) / kAppName / "Contents/Info.plist").c_str(),
                 O_RDONLY | O_CLOEXEC));
    }
    return result;
  }
  platform::UniqueFd held;
};

// A detach that fails (the mount is busy) leaves the mount folder in place, since removing files
// below a mount would reach into the image; it is logged and does not change the call's answer.
// The next operation detaches and removes it once it is free.
TEST_F(ChildToolsTest, AFailedDetachLeavesTheMountToTheNextOperation) {
  const fs::path release = dir_.path() / "release";
  const TestApp source = makeTestApp(dir_.path() / "source");
  release::package({source.appURL, identityFile(release::kDeveloperIdIdentity), "2.0.0", "10",
                    "2.0.0", "11.0", kBaseURL, release});
  const fs::path image = release / (std::string(kArtifactPrefix) + "-10.dmg");
  const struct {
    const char* name;
    const char* version;
    std::string_view expected;
  } rows[] = {{"package passes", "2.0.0", ""},
              {"package does not match", "2.0.1", markers::kPackageMismatch}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    UpdateRelease stated = UpdateRelease::decode(readFile(release / "latest.json"));
    stated.version = row.version;
    BusyMountEnv busy(env_);
    {
      const platform::ScopedEnvForTesting scoped(busy);
      EXPECT_EQ(failureText([&] { service_->verifyDiskImage(image, stated); }), row.expected);
    }
    ASSERT_TRUE(busy.held.valid());
    const std::vector<std::string> left = mountFolders(service_->cache);
    ASSERT_EQ(left.size(), 1U);
    EXPECT_TRUE(fs::exists(fs::path(left[0]) / kAppName / "Contents/Info.plist"));
    EXPECT_EQ(env_.logLines().back(), "Could not clean up the update mount: " +
                                          std::string(markers::kCouldNotVerifyOrPrepare));
    busy.held.reset();
    nextOperation();
    EXPECT_TRUE(mountFolders(service_->cache).empty());
  }
}

}  // namespace
}  // namespace bramlow
