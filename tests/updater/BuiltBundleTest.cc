// The bundle that the build assembles: its Info.plist files carry what the executables read, and
// the real updater starts from it and refuses to start from a renamed copy.
#include <gtest/gtest.h>

#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"
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

TEST(BuiltBundleTest, UpdaterStartsOnlyFromInsideTheApplication) {
  TempDir dir;
  const std::vector<std::string> environment = {"XDG_CACHE_HOME=" + (dir.path() / "cache").string(),
                                                "BRAMLOW_PLATFORM_ROOT=" + dir.path().string()};
  const std::string relative =
      "Contents/PlugIns/Bramlow for Safari Extension.appex/Contents/XPCServices/"
      "BramlowUpdater.xpc/Contents/MacOS/BramlowUpdater";

  // It finds the installed application around it and identifies it.
  const RunResult ok = runProgram({std::string(BRAMLOW_APP_DIR) + "/" + relative}, environment);
  EXPECT_EQ(ok.exitCode, 0) << ok.err;
  EXPECT_EQ(ok.out.rfind("installed app: " + std::string(BRAMLOW_APP_DIR) + "\nbuild: ", 0), 0u)
      << ok.out;

  const fs::path renamed = dir.path() / "Bramlow.app";
  fs::copy(BRAMLOW_APP_DIR, renamed, fs::copy_options::recursive);
  const RunResult refused = runProgram({(renamed / relative).string()}, environment);
  EXPECT_EQ(refused.exitCode, 1);
  const std::string marker(bramlow::markers::kNotInsideApp);
  EXPECT_EQ(refused.err, marker + "\n");
  EXPECT_NE(readFile(dir.path() / "var/log/system.log")
                .find("Bramlow update operation failed: " + marker),
            std::string::npos);
}

}  // namespace
