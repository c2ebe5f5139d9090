// The bundle that the build assembles: its Info.plist files carry what the executables read, and
// the real updater serves from it and refuses every request from a renamed copy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "shared/UpdateFailure.h"
#include "tests/xpc/XpcTestSupport.h"
#include "updater/BundleFacts.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;
using platform::plist::Dictionary;

TEST(BuiltBundleTest, InfoPlistsCarryTheKeysTheExecutablesRead) {
  const Dictionary app = bramlow::readInfoPlist(BRAMLOW_APP_DIR);
  const Dictionary extension = bramlow::readInfoPlist(BRAMLOW_EXTENSION_DIR);
  const Dictionary updater = bramlow::readInfoPlist(BRAMLOW_UPDATER_DIR);
  auto value = [](const Dictionary& info, const char* key) {
    const std::string* text = platform::plist::stringForKey(info, key);
    return text ? *text : "(missing)";
  };
  EXPECT_EQ(value(app, "CFBundleIdentifier"), kAppID);
  EXPECT_EQ(value(extension, "CFBundleIdentifier"), kExtensionID);
  EXPECT_EQ(value(updater, "CFBundleIdentifier"), kUpdaterID);
  EXPECT_EQ(value(extension, "BramlowUpdateService"), kUpdaterID);
  EXPECT_EQ(value(extension, "BramlowSigningTeam"), value(updater, "UpdateSigningTeam"));
  for (const char* key : {"CFBundleVersion", "CFBundleShortVersionString"}) {
    for (const Dictionary* info : {&app, &extension, &updater}) {
      EXPECT_NE(value(*info, key), "(missing)") << key;
    }
  }
  EXPECT_NE(value(app, "LSMinimumSystemVersion"), "(missing)");
}

// Sets environment variables for the life of the object; a service started meanwhile inherits
// them. Only while no other thread of the test runs.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(std::vector<std::pair<std::string, std::string>> values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, old] : saved_) {
      old ? ::setenv(name.c_str(), old->c_str(), 1) : ::unsetenv(name.c_str());
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The "error" of the real updater's reply to "check", started by socket activation from the
// extension bundle inside app.
std::string checkThroughUpdater(const fs::path& app) {
  namespace xpc = platform::xpc;
  xpc::Connection::setServicesFolderForTesting(
      app / "Contents/PlugIns/Bramlow for Safari Extension.appex/Contents/XPCServices");
  auto connection =
      xpc::Connection::create(kUpdaterID, platform::dispatch::Queue::create("test.updater"));
  connection->resume();
  const xpc::Object reply = call(*connection, request("check"));
  connection->cancel();
  xpc::Connection::setServicesFolderForTesting({});
  const xpc::Dictionary* dictionary = xpc::asDictionary(reply);
  return dictionary && dictionary->getString("error") ? *dictionary->getString("error") : "";
}

TEST(BuiltBundleTest, UpdaterServesOnlyFromInsideTheApplication) {
  TempDir dir;
  const ScopedEnvironment environment({{"XDG_CACHE_HOME", (dir.path() / "cache").string()},
                                       {"BRAMLOW_PLATFORM_ROOT", dir.path().string()}});
  // Inside the application it builds its service and checks the sender first: the test process
  // is not the signed extension.
  EXPECT_EQ(checkThroughUpdater(BRAMLOW_APP_DIR), bramlow::markers::kConnectionNotAuthenticated);

  const fs::path renamed = dir.path() / "Bramlow.app";
  fs::copy(BRAMLOW_APP_DIR, renamed, fs::copy_options::recursive);
  const std::string marker(bramlow::markers::kNotInsideApp);
  EXPECT_EQ(checkThroughUpdater(renamed), marker);
  EXPECT_NE(readFile(dir.path() / "var/log/system.log")
                .find("Bramlow update operation failed: " + marker),
            std::string::npos);
}

}  // namespace
