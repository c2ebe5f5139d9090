// The last step of an install: a checked copy beside the installed application changes places
// with it in one atomic exchange, so the application's path never holds a partial bundle.
#include <stdio.h>  // RENAME_EXCHANGE

#include <optional>
#include <string>
#include <system_error>

#include "platform/bundle/Bundle.h"
#include "shared/UpdateFailure.h"
#include "updater/UpdateService.h"
#include "updater/removeTemporaryItem.h"
#include "updater/runCommand.h"
#include "updater/verifyPackage.h"

namespace bramlow {
namespace fs = std::filesystem;

namespace {

std::optional<std::string> bundleVersion(const platform::plist::Dictionary& info) {
  const std::string* value = platform::plist::stringForKey(info, "CFBundleVersion");
  return value ? std::optional<std::string>(*value) : std::nullopt;
}

}  // namespace

void UpdateService::replaceInstalledApp(const fs::path& source, const UpdateRelease& release,
                                        const platform::plist::Dictionary& installedAtStart) const {
  // In the folder that holds the application, so on its volume: the exchange cannot cross one.
  TemporaryItem folder(files.makeTemporaryDirectory(
      appURL.parent_path() / (std::string(kReplacementFolderPrefix) + "XXXXXX")));
  const fs::path staged = folder.path() / product.appName;
  runCommand("/usr/bin/ditto", {source, staged});
  // What goes in place is the copy, so the copy is what must pass.
  verifyPackage(product, staged, release);
  const platform::plist::Dictionary installedNow = installedAppInfo();
  if (bundleVersion(installedNow) != bundleVersion(installedAtStart)) {
    fail(markers::kInstalledAppChanged);
  }
  try {
    // The copy's files and folders reach the disk before its name takes the application's place:
    // a power cut after the exchange must find a whole bundle there, not empty files.
    files.syncFileSystem(staged);
    files.renameat2(staged, appURL, RENAME_EXCHANGE);
  } catch (const std::system_error&) {
    fail(markers::kCouldNotReplace);
  }
  // The folder now holds the old application and goes with it, unless this process runs from it:
  // the reply to this install is checked against the code of the process that sends it, and a
  // process whose executable and seal are gone cannot be recognised. Then the service's entry
  // removes the folder once its clients have their answers, and the process ends.
  const fs::path running = platform::Bundle::main().bundlePath();
  const std::string inside = folder.path().string() + "/";
  if (running.string().starts_with(inside)) replacedApplication_ = folder.release();
  // "installed" is answered only once the exchange itself is on disk.
  files.syncPath(appURL.parent_path());
}

}  // namespace bramlow
