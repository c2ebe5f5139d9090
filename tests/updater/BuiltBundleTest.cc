// The bundle that the build assembles: its Info.plist files carry what the executables read, and
// the real updater starts from it and refuses to start from a renamed copy.
#include <gtest/gtest.h>

#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"
#include "updater/BundleFacts.h"
#include "updater/UpdateService.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;

TEST(BuiltBundleTest, InfoPlistsCarryTheKeysTheExecutablesRead) {
  const auto app = bramlow::readInfoPlist(BRAMLOW_APP_DIR);
  const auto extension = bramlow::readInfoPlist(BRAMLOW_EXTENSION_DIR);
  const auto updater = bramlow::readInfoPlist(BRAMLOW_UPDATER_DIR);
  using platform::plist::stringForKey;
  ASSERT_TRUE(stringForKey(app, "CFBundleIdentifier"));
  EXPECT_EQ(*stringForKey(app, "CFBundleIdentifier"), "com.bramlow.safari-extension");
  EXPECT_EQ(*stringForKey(extension, "CFBundleIdentifier"),
            "com.bramlow.safari-extension.Extension");
  EXPECT_EQ(*stringForKey(updater, "CFBundleIdentifier"), "com.bramlow.safari-extension.Updater");
  EXPECT_EQ(*stringForKey(extension, "BramlowUpdateService"),
            "com.bramlow.safari-extension.Updater");
  for (const auto* info : {&app, &extension, &updater}) {
    EXPECT_TRUE(stringForKey(*info, "CFBundleVersion"));
    EXPECT_TRUE(stringForKey(*info, "CFBundleShortVersionString"));
  }
  EXPECT_TRUE(stringForKey(app, "LSMinimumSystemVersion"));
  EXPECT_EQ(*stringForKey(extension, "BramlowSigningTeam"),
            *stringForKey(updater, "UpdateSigningTeam"));

  TempDir dir;
  TestEnv env(dir.path());
  platform::ScopedEnvForTesting scoped(env);
  const bramlow::UpdateService service{platform::Bundle(BRAMLOW_UPDATER_DIR)};
  EXPECT_EQ(service.appURL, fs::path(BRAMLOW_APP_DIR));
  EXPECT_NO_THROW(service.installedAppInfo());
}

TEST(BuiltBundleTest, UpdaterStartsOnlyFromInsideTheApplication) {
  TempDir dir;
  const std::string cache = "XDG_CACHE_HOME=" + (dir.path() / "cache").string();
  const std::string root = "BRAMLOW_PLATFORM_ROOT=" + dir.path().string();
  const std::string relative =
      "Contents/PlugIns/Bramlow for Safari Extension.appex/Contents/XPCServices/"
      "BramlowUpdater.xpc/Contents/MacOS/BramlowUpdater";

  const RunResult ok = runProgram({std::string(BRAMLOW_APP_DIR) + "/" + relative}, {cache, root});
  EXPECT_EQ(ok.exitCode, 0) << ok.err;
  EXPECT_NE(ok.out.find("build: "), std::string::npos);

  const fs::path renamed = dir.path() / "Bramlow.app";
  fs::copy(BRAMLOW_APP_DIR, renamed, fs::copy_options::recursive);
  const RunResult refused = runProgram({(renamed / relative).string()}, {cache, root});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.err, std::string(bramlow::markers::kNotInsideApp) + "\n");
  const std::string log = readFile(dir.path() / "var/log/system.log");
  EXPECT_NE(log.find(std::string("Bramlow update operation failed: ") +
                     std::string(bramlow::markers::kNotInsideApp)),
            std::string::npos);
}

}  // namespace
