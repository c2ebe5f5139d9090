// The real updater of the built bundle, started by socket activation: it serves from inside the
// application and refuses every request from a renamed copy.
#include <gtest/gtest.h>

#include "shared/UpdateFailure.h"
#include "tests/xpc/XpcTestSupport.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;

// The "error" of the real updater's reply to "check", started from the extension inside app.
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
  const TempDir dir;
  const ScopedEnvironment environment({{"XDG_CACHE_HOME", (dir.path() / "cache").string()},
                                       {"BRAMLOW_PLATFORM_ROOT", dir.path().string()}});
  // Inside the application it builds its service and checks the sender: the test process is not
  // the signed extension.
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
