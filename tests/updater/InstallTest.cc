// "download" and "install" on real signed images, mounts, copies and an HTTPS server: the whole
// cycle, the disk-image steps' clean-up, the refusals before a replacement, and crash safety.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <system_error>

#include "platform/Bundle.h"
#include "shared/UpdateFailure.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/support/FailureText.h"
#include "tests/support/TestHttpsServer.h"
#include "tools/release/Package.h"
#include "updater/UpdateService.h"

extern char** environ;

namespace bramlow {
namespace {
namespace fs = std::filesystem;
using namespace testing_support;

constexpr const char* kOldBuild = "9";  // "10" is newer only as a number
constexpr const char* kNewBuild = "10";
const std::string kImageName = std::string(kArtifactPrefix) + "-10.dmg";

// Every entry below a folder: type, mode and content or link target, by relative path.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(root)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    std::string what = std::to_string(info.st_mode);
    if (S_ISLNK(info.st_mode)) what += " -> " + fs::read_symlink(entry.path()).string();
    if (S_ISREG(info.st_mode)) what += " " + readFile(entry.path());
    tree[fs::relative(entry.path(), root).string()] = what;
  }
  return tree;
}

std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// Whether any file system is mounted below folder.
bool hasMountBelow(const fs::path& folder) {
  const std::string mounts = readFile("/proc/self/mountinfo");
  return mounts.find(" " + folder.string() + "/") != std::string::npos;
}

// Records the tools run and lets a test fail one or act right after one.
class ToolEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  platform::ProcessResult runProcess(const fs::path& executable,
                                     const std::vector<std::string>& arguments) override {
    const std::string verb = executable.filename().string() + " " + arguments.at(0);
    runs.push_back(verb);
    if (verb == failing) return platform::ProcessResult{256, "refused by the test"};
    platform::ProcessResult result = EnvWrapper::runProcess(executable, arguments);
    if (afterTool) afterTool(verb);
    return result;
  }
  bool isWritable(const fs::path& path) override {
    return !readOnly && EnvWrapper::isWritable(path);
  }
  std::vector<std::string> runs;
  std::string failing;
  std::function<void(const std::string&)> afterTool;
  bool readOnly = false;
};

class InstallTest : public SigningTest {
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
    TestTlsIdentity::shared().installTrust(root);
    baseURL_ = server_.url("/updates/");
    publish();
    app_ = makeInstalledApp(dir_.path() / "Applications");
    service_ = std::make_unique<UpdateService>(platform::Bundle(app_.updaterURL));
  }
  void TearDown() override {
    // A test that failed half-way must not leave a mount behind.
    if (service_) {
      for (const auto& entry : fs::directory_iterator(service_->cache)) {
        if (entry.path().filename().string().starts_with("mount-")) {
          runProgram({"/usr/bin/fusermount3", "-u", entry.path()});
        }
      }
    }
    ::unsetenv("BRAMLOW_PLATFORM_ROOT");
  }

  // Release 10 made by the publishing tool, served below baseURL_.
  void publish() {
    const TestApp source = makeTestApp(dir_.path() / "source");
    release::package({source.appURL, identityFile(release::kDeveloperIdIdentity), "2.0.0",
                      kNewBuild, "2.0.0", "11.0", baseURL_, release_});
    latest_ = readFile(release_ / "latest.json");
    server_.setReply("/updates/latest.json", 200, latest_);
    server_.setReply("/updates/" + kImageName, 200, readFile(release_ / kImageName));
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

  UpdateRelease stated() const { return UpdateRelease::decode(latest_); }
  std::string run(const char* action, const UpdateService* service = nullptr) {
    return failureText(
        [&] { (service ? *service : *service_).performOperation(action, kNewBuild, false); });
  }
  std::vector<std::string> toolLog() {
    std::vector<std::string> lines;
    for (const std::string& line : env_.logLines()) {
      if (line.starts_with("Update command")) lines.push_back(line);
    }
    return lines;
  }

  TestHttpsServer server_;
  std::string baseURL_;
  fs::path release_ = dir_.path() / "release";
  std::string latest_;
  TestApp app_;
  std::unique_ptr<UpdateService> service_;
};

TEST_F(InstallTest, CheckDownloadInstallReplacesTheAppAndLeavesNothingBehind) {
  const ResultDictionary checked = service_->performOperation("check", "", false);
  EXPECT_EQ(std::get<std::string>(checked.at("version")), kNewBuild);
  EXPECT_EQ(service_->performOperation("download", kNewBuild, false),
            (ResultDictionary{{"version", kNewBuild}}));
  EXPECT_EQ(namesIn(service_->cache),
            (std::set<std::string>{"release.json", "update.lock", kImageName}));
  EXPECT_EQ(service_->performOperation("install", kNewBuild, false),
            (ResultDictionary{{"version", kNewBuild}, {"installed", true}}));

  EXPECT_TRUE(snapshot(app_.appURL) == snapshot(release_ / kAppName));
  EXPECT_EQ(namesIn(service_->cache), (std::set<std::string>{"release.json", "update.lock"}));
  EXPECT_EQ(namesIn(app_.appURL.parent_path()), std::set<std::string>{kAppName});
  EXPECT_FALSE(hasMountBelow(dir_.path()));
  EXPECT_EQ(env_.logLines(), std::vector<std::string>{});
  // The release is now the installed one: the installed application is checked, nothing fetched.
  const UpdateService updated{platform::Bundle(app_.updaterURL)};
  EXPECT_EQ(updated.performOperation("download", kNewBuild, false),
            (ResultDictionary{{"version", kNewBuild}, {"installed", true}}));
  EXPECT_EQ(server_.requestCount("/updates/" + kImageName), 1U);
  EXPECT_EQ(run("install", &updated), "");
  EXPECT_EQ(run("install"), "") << "an older service sees the build it asked for";

  // The publishing tool's check accepts what the updater just installed from.
  EXPECT_EQ(failureText([&] { release::checkRelease(release_); }), "");
}

TEST_F(InstallTest, AChangedHeldImageIsRemovedAndFetchedAnew) {
  writeFile(service_->cache / "release.json", latest_);
  ASSERT_EQ(run("download"), "");
  const fs::path held = service_->cache / kImageName;
  {
    std::fstream image(held, std::ios::in | std::ios::out | std::ios::binary);
    image.seekp(100);
    image.put('\x5a');
  }
  EXPECT_EQ(run("download"), markers::kCachedUpdateChanged);
  EXPECT_FALSE(fs::exists(held));
  EXPECT_EQ(run("download"), "");
  EXPECT_EQ(server_.requestCount("/updates/" + kImageName), 2U);
  EXPECT_EQ(run("install"), "");
}

TEST_F(InstallTest, DiskImageStepsCleanUpWhatTheyMade) {
  const fs::path image = release_ / kImageName;
  const struct {
    const char* name;
    std::function<void(UpdateRelease&, ToolEnv&)> change;
    std::string_view expected;
    std::vector<std::string> tools;
  } rows[] = {
      {"size differs from the stated one",
       [](UpdateRelease& r, ToolEnv&) { ++r.artifact.size; },
       markers::kIntegrityCheckFailed,
       {}},
      {"attach fails",
       [](UpdateRelease&, ToolEnv& e) { e.failing = "hdiutil attach"; },
       markers::kCouldNotVerifyOrPrepare,
       {"spctl --assess", "hdiutil attach"}},
      {"package does not match",
       [](UpdateRelease& r, ToolEnv&) { r.version = "2.0.1"; },
       markers::kPackageMismatch,
       {"spctl --assess", "hdiutil attach", "hdiutil detach"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    UpdateRelease release = stated();
    ToolEnv tools(env_);
    row.change(release, tools);
    const platform::ScopedEnvForTesting scoped(tools);
    EXPECT_EQ(failureText([&] { service_->verifyDiskImage(image, release); }), row.expected);
    EXPECT_EQ(tools.runs, row.tools);
    EXPECT_EQ(namesIn(service_->cache), std::set<std::string>{});
    EXPECT_FALSE(hasMountBelow(dir_.path()));
  }
  // Only the refused attach wrote a tool's log line; the size was refused before any tool ran.
  EXPECT_EQ(toolLog().size(), 1U);
}

TEST_F(InstallTest, TheUsersAppStaysWhenItsBuildChangedDuringTheInstall) {
  writeFile(service_->cache / "release.json", latest_);
  ASSERT_EQ(run("download"), "");
  // The user puts build 11 in place while the new copy is being made.
  std::map<std::string, std::string> users;
  ToolEnv tools(env_);
  tools.afterTool = [&](const std::string& verb) {
    if (!verb.starts_with("ditto")) return;
    writeInfoPlist(app_.appURL, defaultAppInfo("11"));
    users = snapshot(app_.appURL);
  };
  const platform::ScopedEnvForTesting scoped(tools);
  EXPECT_EQ(run("install"), markers::kInstalledAppChanged);
  EXPECT_FALSE(users.empty());
  EXPECT_TRUE(snapshot(app_.appURL) == users);
  EXPECT_EQ(namesIn(app_.appURL.parent_path()), std::set<std::string>{kAppName});
  EXPECT_TRUE(fs::exists(service_->cache / kImageName)) << "a failed install keeps the image";
  EXPECT_FALSE(hasMountBelow(dir_.path()));
}

TEST_F(InstallTest, RefusesToReplaceAnAppThatCannotBeReplacedSafely) {
  writeFile(service_->cache / "release.json", latest_);
  const auto users = snapshot(app_.appURL);
  // The setup application, as a process running its bundle's main executable.
  const fs::path setup = dir_.path() / "Running" / kAppName;
  writeInfoPlist(setup, defaultAppInfo(kOldBuild));
  fs::create_directories(setup / "Contents/MacOS");
  fs::copy_file("/bin/sleep", setup / "Contents/MacOS/Bramlow for Safari");
  const std::string executable = setup / "Contents/MacOS/Bramlow for Safari";
  char* const argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("30"), nullptr};
  pid_t running = -1;
  ASSERT_EQ(::posix_spawn(&running, executable.c_str(), nullptr, nullptr, argv, environ), 0);
  EXPECT_EQ(run("install"), markers::kSetupAppRunning);
  ::kill(running, SIGKILL);
  ::waitpid(running, nullptr, 0);

  fs::create_directories(dir_.path() / "Real");
  const TestApp linked = makeInstalledApp(dir_.path() / "Real");
  fs::create_symlink(dir_.path() / "Real", dir_.path() / "Linked");
  const UpdateService behindLink{platform::Bundle(
      dir_.path() / "Linked" / linked.updaterURL.lexically_relative(dir_.path() / "Real"))};
  writeFile(behindLink.cache / "release.json", latest_);
  EXPECT_EQ(run("install", &behindLink), markers::kNotWritable);

  ToolEnv readOnly(env_);
  readOnly.readOnly = true;
  {
    const platform::ScopedEnvForTesting scoped(readOnly);
    const UpdateService onReadOnlyVolume{platform::Bundle(app_.updaterURL)};
    EXPECT_EQ(run("install", &onReadOnlyVolume), markers::kNotWritable);
  }

  const fs::path volumes = fs::path("/Volumes") / dir_.path().filename();
  const TestApp mounted = makeInstalledApp(volumes);
  const UpdateService onVolume{platform::Bundle(mounted.updaterURL)};
  writeFile(onVolume.cache / "release.json", latest_);
  EXPECT_EQ(run("install", &onVolume), markers::kNotWritable);
  fs::remove_all(volumes);
  std::error_code ignored;
  fs::remove("/Volumes", ignored);  // only when the test made it
  EXPECT_TRUE(snapshot(app_.appURL) == users);
}

}  // namespace
}  // namespace bramlow
