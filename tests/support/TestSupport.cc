#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace testing_support {
namespace fs = std::filesystem;
using platform::plist::Dictionary;

TempDir::TempDir() {
  std::string pattern = fs::temp_directory_path() / "bramlow-test-XXXXXX";  // $TMPDIR or /tmp
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only folders behind; make them writable so removal succeeds.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, std::string_view content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeInfoPlist(const fs::path& bundle, const Dictionary& info,
                    platform::plist::Format format) {
  writeFile(bundle / "Contents" / "Info.plist", platform::plist::serialize(info, format));
}

Dictionary defaultAppInfo(const std::string& build) {
  return Dictionary{{"CFBundleIdentifier", kAppID},
                    {"CFBundleExecutable", "Bramlow for Safari"},
                    {"CFBundleVersion", build},
                    {"CFBundleShortVersionString", "1.0.0"},
                    {"LSMinimumSystemVersion", "11.0"}};
}

Dictionary defaultExtensionInfo(const std::string& build) {
  return Dictionary{
      {"CFBundleIdentifier", kExtensionID}, {"CFBundleExecutable", "Bramlow for Safari Extension"},
      {"CFBundleVersion", build},           {"CFBundleShortVersionString", "1.0.0"},
      {"BramlowDirectUpdates", "YES"},      {"BramlowUpdateService", kUpdaterID},
      {"BramlowSigningTeam", kTeam}};
}

Dictionary defaultUpdaterInfo(const std::string& build) {
  return Dictionary{{"CFBundleIdentifier", kUpdaterID},
                    {"CFBundleExecutable", "BramlowUpdater"},
                    {"CFBundleVersion", build},
                    {"CFBundleShortVersionString", "1.0.0"},
                    {"UpdateAppIdentifier", kAppID},
                    {"UpdateExtensionIdentifier", kExtensionID},
                    {"UpdateExtensionName", kExtensionName},
                    {"UpdateAppName", kAppName},
                    {"UpdateArtifactPrefix", kArtifactPrefix},
                    {"UpdateSigningTeam", kTeam},
                    {"UpdateBaseURL", kBaseURL}};
}

TestApp makeTestApp(const fs::path& folder, const Dictionary& appInfo,
                    const Dictionary& extensionInfo, const Dictionary& updaterInfo,
                    const std::string& policyJson, const std::string& appName) {
  TestApp app;
  app.appURL = folder / appName;
  app.extensionURL = app.appURL / "Contents" / "PlugIns" / kExtensionName;
  app.updaterURL = app.extensionURL / "Contents" / "XPCServices" / "BramlowUpdater.xpc";
  writeInfoPlist(app.appURL, appInfo);
  writeFile(app.appURL / "Contents" / "MacOS" / "Bramlow for Safari", "#!app\n");
  writeInfoPlist(app.extensionURL, extensionInfo);
  writeFile(app.extensionURL / "Contents" / "MacOS" / "Bramlow for Safari Extension", "#!ext\n");
  writeFile(app.extensionURL / "Contents" / "Resources" / "manifest.json",
            R"({"manifest_version": 3, "name": "Bramlow", "version": "1.0.0"})");
  writeInfoPlist(app.updaterURL, updaterInfo);
  writeFile(app.updaterURL / "Contents" / "MacOS" / "BramlowUpdater", "#!updater\n");
  writeFile(app.updaterURL / "Contents" / "Resources" / "policy.json", policyJson);
  return app;
}

std::vector<std::string> environmentWith(const std::vector<std::string>& entries) {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) environment.emplace_back(*e);
  for (const std::string& entry : entries) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    std::erase_if(environment, [&](const std::string& e) { return e.starts_with(name); });
    environment.push_back(entry);
  }
  return environment;
}

RunResult runProgram(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extraEnvironment) {
  // The output goes to files: no pipe to drain while waiting, and no wait on a grandchild that
  // keeps a pipe open.
  const TempDir outputs;
  const std::string out = (outputs.path() / "out").string();
  const std::string err = (outputs.path() / "err").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

  const auto pointers = [](const std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (const std::string& s : strings) result.push_back(const_cast<char*>(s.c_str()));
    result.push_back(nullptr);
    return result;
  };
  const std::vector<std::string> environment = environmentWith(extraEnvironment);
  std::vector<char*> args = pointers(argv), envp = pointers(environment);

  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
  if (!waitUntil(std::chrono::minutes(2), [pid] { return processEnded(pid); })) {
    ADD_FAILURE() << argv[0] << " still runs after two minutes: killed";
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
}

ssize_t readWithin(int fd, void* buffer, std::size_t size, std::chrono::milliseconds timeout) {
  pollfd readable{fd, POLLIN, 0};
  if (::poll(&readable, 1, static_cast<int>(timeout.count())) != 1) {
    ADD_FAILURE() << "nothing to read within " << timeout.count() << " ms";
    return -1;
  }
  return ::read(fd, buffer, size);
}

TestEnv::TestEnv(const fs::path& root) : root_(root) {}

void TestEnv::log(std::string_view line) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(line);
}

std::vector<std::string> TestEnv::preferredLanguages() {
  std::lock_guard lock(mutex_);
  return languages_ ? *languages_ : PosixEnv::preferredLanguages();
}

void TestEnv::setPreferredLanguages(std::vector<std::string> languages) {
  std::lock_guard lock(mutex_);
  languages_ = std::move(languages);
}

std::vector<std::string> TestEnv::logLines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

void RecordingExtensionContext::completeRequestReturningItems(
    std::vector<platform::ExtensionItem> items) {
  const std::lock_guard lock(mutex_);
  answers_.push_back(std::move(items));
  answered_.signal();
}

platform::Json RecordingExtensionContext::onlyMessage(std::chrono::milliseconds grace) {
  EXPECT_TRUE(answered_.waitFor(std::chrono::seconds(20))) << "no answer";
  std::this_thread::sleep_for(grace);
  const std::lock_guard lock(mutex_);
  if (answers_.size() != 1 || answers_[0].size() != 1 || !answers_[0][0].userInfo ||
      answers_[0][0].userInfo->size() != 1) {
    ADD_FAILURE() << answers_.size() << " answers, not one with one item of one message";
    return {};
  }
  return answers_[0][0].userInfo->value(platform::kExtensionMessageKey, platform::Json());
}

ScopedEnvironment::ScopedEnvironment(
    const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [name, value] : values) {
    const char* old = std::getenv(name.c_str());  // NOLINT(concurrency-mt-unsafe)
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, old] : saved_)
    old ? ::setenv(name.c_str(), old->c_str(), 1) : ::unsetenv(name.c_str());
}

void killProcessesWithEnvironment(const std::string& entry) {
  for (const auto& process : std::filesystem::directory_iterator("/proc")) {
    const std::string name = process.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == ::getpid()) continue;
    std::ifstream in(process.path() / "environ", std::ios::binary);
    const std::string variables = '\0' + std::string(std::istreambuf_iterator<char>(in), {});
    if (variables.find('\0' + entry + '\0') == std::string::npos) continue;
    const platform::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd.valid()) continue;  // already gone
    if (::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0) == 0)
      waitUntil(std::chrono::seconds(10), [pid] { return processEnded(pid); });
  }
}

}  // namespace testing_support
