// Shared test helpers: temporary folders, files, nested bundles on disk and an Env that points
// the platform at a test root and records the system log.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/browser/ExtensionContext.h"
#include "platform/env/Env.h"
#include "platform/env/Fd.h"
#include "platform/formats/PropertyList.h"
#include "platform/process/Dispatch.h"
#include "tests/support/Wait.h"

namespace testing_support {

// A new folder under $TMPDIR (or /tmp), removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, std::string_view content);
std::string readFile(const std::filesystem::path& path);
void writeInfoPlist(const std::filesystem::path& bundle, const platform::plist::Dictionary& info,
                    platform::plist::Format format = platform::plist::Format::kXml);

// The identifiers and names of the product as the tests build it.
inline constexpr const char* kAppID = "com.bramlow.safari-extension";
inline constexpr const char* kExtensionID = "com.bramlow.safari-extension.Extension";
inline constexpr const char* kUpdaterID = "com.bramlow.safari-extension.Updater";
inline constexpr const char* kAppName = "Bramlow for Safari.app";
inline constexpr const char* kExtensionName = "Bramlow for Safari Extension.appex";
inline constexpr const char* kArtifactPrefix = "BramlowForSafari";
inline constexpr const char* kTeam = "TESTTEAM01";
inline constexpr const char* kBaseURL = "https://127.0.0.1:8443/updates/";

// The three Info.plist dictionaries of a well-formed application, for tests to change.
platform::plist::Dictionary defaultAppInfo(const std::string& build = "100");
platform::plist::Dictionary defaultExtensionInfo(const std::string& build = "100");
platform::plist::Dictionary defaultUpdaterInfo(const std::string& build = "100");

struct TestApp {
  std::filesystem::path appURL;
  std::filesystem::path extensionURL;
  std::filesystem::path updaterURL;
};

// Writes a nested application bundle (Info.plists, executables as small files, policy.json and
// the extension's manifest.json) at folder/<appName>.
TestApp makeTestApp(const std::filesystem::path& folder,
                    const platform::plist::Dictionary& appInfo = defaultAppInfo(),
                    const platform::plist::Dictionary& extensionInfo = defaultExtensionInfo(),
                    const platform::plist::Dictionary& updaterInfo = defaultUpdaterInfo(),
                    const std::string& policyJson = R"({"checkIntervalMilliseconds": 3600000})",
                    const std::string& appName = kAppName);

// This process's environment with each NAME=value entry in place of any variable of that name.
std::vector<std::string> environmentWith(const std::vector<std::string>& entries);

// Runs a program to its end with extra environment variables (NAME=value), stdin from /dev/null,
// and collects its exit status and output. One still running after two minutes is killed, and the
// test fails.
struct RunResult {
  int exitCode = -1;  // -1 when killed by a signal
  std::string out;
  std::string err;
};
RunResult runProgram(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extraEnvironment = {});

// Reads what fd (a socket or pipe) has within timeout: read(2)'s result, or -1 with a test
// failure when nothing came in time, so a peer that never answers fails the test, not hangs it.
ssize_t readWithin(int fd, void* buffer, std::size_t size,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Kills the processes, none of them the test's children, whose environment holds entry (say the
// service a program started with the test's folders), and waits until they are gone: left to
// idle out, they would outlive the test and write into its folders after their removal.
void killProcessesWithEnvironment(const std::string& entry);

// An Env whose platform root and caches folder lie in a test folder, whose system version is set
// by the test, and which keeps every log line it is given.
class TestEnv : public platform::PosixEnv {
 public:
  explicit TestEnv(const std::filesystem::path& root);
  std::filesystem::path platformRoot() override { return root_; }
  std::filesystem::path cachesDirectory() override { return root_ / "home" / ".cache"; }
  platform::OperatingSystemVersion systemVersion() override { return version_; }
  void log(std::string_view line) override;

  std::vector<std::string> preferredLanguages() override;
  // Replaces the user's languages for this Env (never the process environment).
  void setPreferredLanguages(std::vector<std::string> languages);

  void setSystemVersion(long major, long minor = 0, long patch = 0) {
    version_ = {major, minor, patch};
  }
  std::vector<std::string> logLines();

 private:
  std::filesystem::path root_;
  platform::OperatingSystemVersion version_{14, 0, 0};
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::optional<std::vector<std::string>> languages_;
};

// An extension request carrying one item with userInfo; it records its answers from any thread.
class RecordingExtensionContext : public platform::ExtensionContext {
 public:
  explicit RecordingExtensionContext(std::optional<platform::Json> userInfo = std::nullopt)
      : items_{{std::move(userInfo)}} {}
  const std::vector<platform::ExtensionItem>& inputItems() const override { return items_; }
  void completeRequestReturningItems(std::vector<platform::ExtensionItem> items) override;
  // The message of the only answer, after waiting for it and then for grace, in which a second
  // answer would show; a test failure when there is not exactly one with one message item.
  platform::Json onlyMessage(std::chrono::milliseconds grace = std::chrono::milliseconds(0));

 private:
  std::vector<platform::ExtensionItem> items_;
  std::mutex mutex_;
  std::vector<std::vector<platform::ExtensionItem>> answers_;
  platform::dispatch::Semaphore answered_;
};

// A test whose platform root is its own test folder for its whole life.
class TestEnvTest : public ::testing::Test {
 protected:
  TempDir dir_;
  TestEnv env_{dir_.path()};
  platform::ScopedEnvForTesting scoped_{env_};
};

// Sets environment variables for the object's life, then puts back what was there. Only while no
// other thread of the test reads the environment.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const std::vector<std::pair<std::string, std::string>>& values);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace testing_support
