// "download" and "install" on real signed images, mounts, copies and an HTTPS server: the whole
// cycle, the disk-image steps' clean-up, the refusals before a replacement, the system's tools
// around an updater that dies, and crash safety.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "platform/bundle/RunningApplications.h"
#include "shared/UpdateFailure.h"
#include "tests/support/FailureText.h"
#include "tests/support/LoopVolume.h"
#include "tests/updater/ReleaseTest.h"
#include "updater/runCommand.h"

extern char** environ;

namespace bramlow {
namespace {
using namespace std::chrono_literals;
using Arguments = std::vector<std::string>;

// Lets a test act right after a tool, and raises SIGKILL at a numbered point: point 2n-1 is just
// before the n-th call that changes files, flushes them, runs a tool or receives the image, point
// 2n just after it.
class ToolEnv : public platform::EnvWrapper {
  template <typename Call>
  auto around(Call&& call) {
    point();
    struct After {
      ToolEnv* env;
      ~After() { env->point(); }
    } after{this};
    return call();
  }
  void point() {
    if (++points == killAt) ::raise(SIGKILL);
  }

 public:
  explicit ToolEnv(platform::Env& target, int killAtPoint = 0)
      : EnvWrapper(target), killAt(killAtPoint) {}
  platform::ProcessResult runProcess(const fs::path& executable,
                                     const Arguments& arguments) override {
    platform::ProcessResult result =
        around([&] { return EnvWrapper::runProcess(executable, arguments); });
    if (afterTool) afterTool(executable.filename(), arguments);
    return result;
  }
  platform::UniqueFd open(const fs::path& path, int flags, mode_t mode, int at) override {
    return around([&] { return EnvWrapper::open(path, flags, mode, at); });
  }
  void writeAll(int fd, const void* data, std::size_t size) override {
    around([&] { EnvWrapper::writeAll(fd, data, size); });
  }
  void rename(const fs::path& from, const fs::path& to, int at) override {
    around([&] { EnvWrapper::rename(from, to, at); });
  }
  void renameat2(const fs::path& from, const fs::path& to, unsigned int flags) override {
    around([&] { EnvWrapper::renameat2(from, to, flags); });
  }
  fs::path makeTemporaryDirectory(const fs::path& pathTemplate) override {
    return around([&] { return EnvWrapper::makeTemporaryDirectory(pathTemplate); });
  }
  void createDirectory(const fs::path& path, mode_t mode) override {
    around([&] { EnvWrapper::createDirectory(path, mode); });
  }
  void removeItem(const fs::path& path) override {
    around([&] { EnvWrapper::removeItem(path); });
  }
  void syncPath(const fs::path& path) override {
    around([&] { EnvWrapper::syncPath(path); });
  }
  void syncFileSystem(const fs::path& path) override {
    around([&] { EnvWrapper::syncFileSystem(path); });
  }

  std::function<void(const std::string&, const Arguments&)> afterTool;
  std::atomic<int> points{0};
  int killAt;
};

class InstallTest : public ServedReleaseTest {
 protected:
  void SetUp() override {
    ServedReleaseTest::SetUp();
    if (!IsSkipped()) offer(latest_, body(readFile(release_ / kImageName)));
  }
  std::string run(const char* action, const UpdateService* service = nullptr) {
    return failureText(
        [&] { (service ? *service : *service_).performOperation(action, kNewBuild, false); });
  }
};

TEST_F(InstallTest, CheckDownloadInstallReplacesTheAppAndLeavesNothingBehind) {
  const ResultDictionary checked = service_->performOperation("check", "", false);
  EXPECT_EQ(std::get<std::string>(checked.at("version")), kNewBuild);
  EXPECT_EQ(service_->performOperation("download", kNewBuild, false),
            (ResultDictionary{{"version", kNewBuild}}));
  // A held image whose bytes changed is removed; the next download fetches it anew.
  const fs::path held = service_->cache / kImageName;
  std::string bytes = readFile(held);
  bytes[100] ^= 1;
  writeFile(held, bytes);
  const LeakCheck beforeDownload = leakCheck();
  EXPECT_EQ(run("download"), markers::kCachedUpdateChanged);
  EXPECT_FALSE(fs::exists(held));
  beforeDownload.expectNothingAdded();
  EXPECT_EQ(run("download"), "");
  EXPECT_EQ(server_.requestCount("/updates/" + kImageName), 2U);

  // Refused while the new copy is made, the app stays as the user has it.
  const std::string info = readFile(app_.appURL / "Contents/Info.plist");
  const struct {
    const char* name;
    std::function<void(const fs::path& staged)> afterCopy;
    std::string_view expected;
  } refusals[] = {
      {"the user puts build 11 in place",
       [&](const fs::path&) { writeInfoPlist(app_.appURL, defaultAppInfo("11")); },
       markers::kInstalledAppChanged},
      {"a file of the staged copy altered",
       [](const fs::path& staged) { writeFile(staged / "Contents/Resources/extra", "x"); },
       markers::kInvalidSignature},
  };
  for (const auto& row : refusals) {
    std::map<std::string, std::string> users;
    const LeakCheck beforeInstall = leakCheck();
    ToolEnv tools(env_);
    tools.afterTool = [&](const std::string& tool, const Arguments& arguments) {
      if (tool != "ditto") return;
      row.afterCopy(arguments.at(1));
      users = snapshot(app_.appURL);
    };
    {
      const platform::ScopedEnvForTesting scoped(tools);
      EXPECT_EQ(run("install"), row.expected) << row.name;
    }
    EXPECT_FALSE(users.empty()) << row.name;
    EXPECT_TRUE(snapshot(app_.appURL) == users) << row.name;
    beforeInstall.expectNothingAdded();
    writeFile(app_.appURL / "Contents/Info.plist", info);
  }
  // A forced "check" found a newer release than the one the client asks to install.
  EXPECT_EQ(failureText([&] { service_->performOperation("install", "12", false); }),
            markers::kReleaseChanged);

  EXPECT_EQ(service_->performOperation("install", kNewBuild, false),
            (ResultDictionary{{"version", kNewBuild}, {"installed", true}}));
  EXPECT_TRUE(snapshot(app_.appURL) == snapshot(release_ / kAppName));
  EXPECT_EQ(namesIn(service_->cache), (std::set<std::string>{"release.json", "update.lock"}));
  EXPECT_EQ(namesIn(app_.appURL.parent_path()), std::set<std::string>{kAppName});
}

// Whatever stands at the held image's name but a regular file is never read (a FIFO would block
// the operation under the lock, /dev/zero never end) and goes like an image that changed.
TEST_F(InstallTest, OnlyARegularFileIsTakenForTheHeldImage) {
  if (::geteuid() != 0) GTEST_SKIP() << "making devices needs root";
  writeFile(service_->cache / "release.json", latest_);
  const fs::path held = service_->cache / kImageName;
  const auto users = snapshot(app_.appURL);
  const auto node = [](mode_t type, dev_t number = 0) {
    return [=](const fs::path& path) {
      EXPECT_EQ(::mknod(path.c_str(), type | 0600, number), 0) << std::strerror(errno);
    };
  };
  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;
  } rows[] = {
      {"FIFO", node(S_IFIFO)},
      {"socket", node(S_IFSOCK)},
      {"endless character device", node(S_IFCHR, ::makedev(1, 5))},
      {"block device", node(S_IFBLK, ::makedev(7, 0))},
      {"link to the release's image",
       [&](const fs::path& path) { fs::create_symlink(release_ / kImageName, path); }},
      {"folder", [](const fs::path& path) { writeFile(path / kImageName, "x"); }},
  };
  ::alarm(120);  // a read that blocks ends the test process rather than hanging it
  for (const auto& row : rows) {
    for (const char* action : {"download", "install"}) {
      SCOPED_TRACE(std::string(row.name) + ", " + action);
      row.make(held);
      EXPECT_EQ(run(action), markers::kCachedUpdateChanged);
      EXPECT_FALSE(fs::exists(fs::symlink_status(held)));
    }
  }
  ::alarm(0);
  // Nothing at all there is no image that changed: the file system's error.
  EXPECT_THROW(service_->performOperation("install", kNewBuild, false), std::system_error);
  EXPECT_TRUE(fs::exists(release_ / kImageName));
  EXPECT_TRUE(snapshot(app_.appURL) == users);
}

TEST_F(InstallTest, RefusesToReplaceAnAppThatCannotBeReplacedSafely) {
  writeFile(service_->cache / "release.json", latest_);
  const auto users = snapshot(app_.appURL);
  const LeakCheck leaks = leakCheck();
  // The setup application, as a process running its bundle's main executable.
  const std::string path = makeTestApp(dir_.path() / "Running", defaultAppInfo(kOldBuild)).appURL /
                           "Contents/MacOS/Bramlow for Safari";
  fs::copy_file("/bin/sleep", path, fs::copy_options::overwrite_existing);
  char* const argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("30"), nullptr};
  pid_t running = -1;
  ASSERT_EQ(::posix_spawn(&running, path.c_str(), nullptr, nullptr, argv, environ), 0);
  EXPECT_EQ(run("install"), markers::kSetupAppRunning);
  ::kill(running, SIGKILL);
  ::waitpid(running, nullptr, 0);

  // Behind a link and under /Volumes: every service of the product shares its cache, and with it
  // "release.json".
  const fs::path folder = app_.appURL.parent_path();
  fs::create_symlink(folder, dir_.path() / "Linked");
  const UpdateService behindLink{
      platform::Bundle(dir_.path() / "Linked" / app_.updaterURL.lexically_relative(folder))};
  EXPECT_EQ(run("install", &behindLink), markers::kNotWritable);
  const fs::path volumes = fs::path("/Volumes") / dir_.path().filename();
  const UpdateService onVolume{platform::Bundle(makeInstalledApp(volumes).updaterURL)};
  EXPECT_EQ(run("install", &onVolume), markers::kNotWritable);
  fs::remove_all(volumes);
  std::error_code ignored;
  fs::remove("/Volumes", ignored);  // only when the test made it
  EXPECT_TRUE(snapshot(app_.appURL) == users);
  leaks.expectNothingAdded({"update.lock"});
}

// The system's tools around an updater that dies or a mount that will not go. No server: the
// updater is forked.
class ChildToolsTest : public ReleaseTest {
 protected:
  void SetUp() override {
    ReleaseTest::SetUp();
    if (!IsSkipped()) publish(kBaseURL);
  }
  // The next operation clears what earlier ones left, then fails for want of release information.
  void nextOperation() {
    EXPECT_THROW(service_->performOperation("install", kNewBuild, false), std::system_error);
  }
};

TEST_F(ChildToolsTest, AToolEndsWithTheUpdaterThatStartedIt) {
  // A copy that has made part of its output (holding its process id) and then takes its time.
  const fs::path ditto = env_.platformRoot() / "usr/bin/ditto";
  fs::remove(ditto);
  writeFile(ditto,
            "#!/bin/sh\nmkdir -p \"$2\" && echo $$ >\"$2/new\" && mv \"$2/new\" \"$2/part\" && "
            "exec sleep 60\n");
  fs::permissions(ditto, fs::perms::owner_all);
  const fs::path replacement =
      app_.appURL.parent_path() / (std::string(UpdateService::kReplacementFolderPrefix) + "Ab12Cd");
  const fs::path part = replacement / "x.app/part";
  // As the operations do, from the work queue's thread, not the process's first one.
  const pid_t updater = ::fork();
  if (updater == 0) {
    std::thread([&] { runCommand("/usr/bin/ditto", {"/nowhere", part.parent_path()}); }).join();
    ::_exit(0);
  }
  ASSERT_TRUE(waitUntil(20s, [&] { return fs::exists(part); }));
  const pid_t tool = std::stoi(readFile(part));
  ::kill(updater, SIGKILL);
  ::waitpid(updater, nullptr, 0);
  EXPECT_TRUE(waitUntil(20s, [&] { return processEnded(tool); }));
  ::kill(tool, SIGKILL);  // only when it did not end by itself
  nextOperation();
  EXPECT_FALSE(fs::exists(replacement));
}

// An updater that replaced its application answers its clients from the replacement folder, which
// they check as the code that answered: another updater's operation keeps it while it runs.
TEST_F(ChildToolsTest, AReplacementFolderAProcessRunsFromIsNotStale) {
  const fs::path replacement =
      app_.appURL.parent_path() / (std::string(UpdateService::kReplacementFolderPrefix) + "Ef34Gh");
  fs::create_directories(replacement);
  fs::copy_file("/bin/sleep", replacement / "x");
  const pid_t running = ::fork();
  if (running == 0) {
    ::execl((replacement / "x").c_str(), "x", "60", nullptr);
    ::_exit(127);
  }
  ASSERT_TRUE(waitUntil(20s, [&] { return platform::processRunsFrom(replacement); }));
  nextOperation();
  EXPECT_TRUE(fs::exists(replacement / "x"));
  ::kill(running, SIGKILL);
  ::waitpid(running, nullptr, 0);
  nextOperation();
  EXPECT_FALSE(fs::exists(replacement));
}

// The updater killed at every point of a "download" and an "install" leaves the installed
// application whole, old or new, also on the disk should the power go at that moment; the next
// operation gets the lock and clears what was left.
class CrashSafetyTest : public ReleaseTest {
 protected:
  void SetUp() override {
    ReleaseTest::SetUp();
    if (IsSkipped()) return;
    fs::create_directories(release_);
    const fs::path trust = env_.platformRoot() / "etc/ssl/certs/ca-certificates.crt";
    fs::create_directories(trust.parent_path());
    fs::copy_file(identityFile(release::kTlsCaFile), trust);
    // A server process of its own: the operations run in forked children of this process, which
    // must have no other thread when it forks.
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const std::string tls = identityFile(release::kTlsServerFile);
    server_ = ::fork();
    if (server_ == 0) {  // only async-signal-safe calls until the exec
      ::dup2(out[1], 1);
      ::execl(BRAMLOW_RELEASE, BRAMLOW_RELEASE, "serve", release_.c_str(), "--tls", tls.c_str(),
              nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    char c = 0;
    while (readWithin(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    ASSERT_TRUE(line.starts_with("https://127.0.0.1:")) << line;
    publish(line);
    // Where it can, the application lives on a volume of its own, so that every kill is also a
    // power cut.
    if (LoopVolume::unavailableReason().empty()) {
      const fs::path folder = app_.appURL.parent_path();
      fs::rename(folder, dir_.path() / "built");
      fs::create_directory(folder);
      volume_.emplace(dir_.path() / "volume.img", 32, folder);
      fs::copy(dir_.path() / "built", folder,
               fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    oldTree_ = snapshot(app_.appURL);
    newTree_ = snapshot(release_ / kAppName);
    fs::copy(app_.appURL, dir_.path() / "pristine", fs::copy_options::recursive);
  }
  void TearDown() override {
    if (server_ > 0) {
      ::kill(server_, SIGTERM);
      ::waitpid(server_, nullptr, 0);
    }
    ReleaseTest::TearDown();
  }

  struct Outcome {
    int status;  // as waitpid reports it: exit 0 when every action succeeded
    int points;  // the points the child passed, when it was not killed
  };

  // Runs actions in a forked child with a ToolEnv that kills at killAt (0: nowhere).
  Outcome runChild(const std::vector<std::string>& actions, int killAt) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t child = ::fork();
    if (child == 0) {
      ToolEnv killing(env_, killAt);
      const platform::ScopedEnvForTesting scoped(killing);
      try {
        const UpdateService service{platform::Bundle(app_.updaterURL)};
        for (const std::string& action : actions)
          service.performOperation(action, kNewBuild, false);
      } catch (...) {
        ::_exit(1);
      }
      const int points = killing.points.load();
      ::_exit(::write(report[1], &points, sizeof points) == sizeof points ? 0 : 1);
    }
    ::close(report[1]);
    Outcome outcome{0, 0};
    // A child that hangs fails the test and is killed.
    if (readWithin(report[0], &outcome.points, sizeof outcome.points, 120s) < 0) {
      ::kill(child, SIGKILL);
    }
    ::close(report[0]);
    ::waitpid(child, &outcome.status, 0);
    return outcome;
  }

  // Back to build 9 installed, the release information stored, no image held.
  void reset() {
    if (snapshot(app_.appURL) != oldTree_) {
      fs::remove_all(app_.appURL);
      fs::copy(dir_.path() / "pristine", app_.appURL, fs::copy_options::recursive);
    }
    fs::remove(service_->cache / kImageName);
    writeFile(service_->cache / "release.json", latest_);
    // What the test put back is on the disk before the next run starts.
    if (volume_) env_.syncFileSystem(app_.appURL);
  }

  // The application's tree after a power cut now; the live tree without a volume of its own.
  std::map<std::string, std::string> treeAfterPowerCut() {
    if (!volume_) return snapshot(app_.appURL);
    const fs::path cut = dir_.path() / "cut";
    fs::create_directories(cut);
    const auto mounted = volume_->powerCut(dir_.path() / "cut.img", cut);
    return snapshot(cut / kAppName);
  }

  pid_t server_ = -1;
  std::optional<LoopVolume> volume_;
  std::map<std::string, std::string> oldTree_;
  std::map<std::string, std::string> newTree_;
};

TEST_F(CrashSafetyTest, KilledAnywhereTheAppIsWholeAndTheNextOperationClearsUp) {
  reset();
  const auto [status, points] = runChild({"download", "install"}, 0);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(snapshot(app_.appURL) == newTree_);
  ASSERT_GE(points, 40);
  reset();
  const int downloadPoints = runChild({"download"}, 0).points;
  // Under the sanitizers, several times slower, a spread of the points, the last included.
#if defined(__SANITIZE_ADDRESS__)
  const int stride = 4;
#else
  const int stride = 1;
#endif
  int sawNew = 0;
  for (int killAt = 1 + (points - 1) % stride; killAt <= points; killAt += stride) {
    SCOPED_TRACE("killed at point " + std::to_string(killAt));
    reset();
    const LeakCheck leaks = leakCheck();
    const int killed = runChild({"download", "install"}, killAt).status;
    EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL);
    // A download does not touch the application: the power is cut only during the install.
    if (killAt > downloadPoints) {
      const auto cut = treeAfterPowerCut();
      EXPECT_TRUE(cut == oldTree_ || cut == newTree_);
    }
    const auto tree = snapshot(app_.appURL);
    EXPECT_TRUE(tree == oldTree_ || tree == newTree_);
    sawNew += tree == newTree_ ? 1 : 0;
    EXPECT_EQ(runChild({"check"}, 0).status, 0);
    leaks.expectNothingAdded({kImageName});
  }
  EXPECT_GT(sawNew, 0);
}

}  // namespace
}  // namespace bramlow
