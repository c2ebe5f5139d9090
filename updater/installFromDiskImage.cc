// Disk images: the checks of an image file before anything of the system sees it, the read-only
// attach at a private mount folder, the package check of the application inside, and the detach.
#include <exception>
#include <string>

#include "platform/env/Uuid.h"
#include "shared/UpdateFailure.h"
#include "shared/UpdateSecurity.h"
#include "updater/BundleFacts.h"
#include "updater/UpdateService.h"
#include "updater/runCommand.h"
#include "updater/verifyPackage.h"

namespace bramlow {
namespace fs = std::filesystem;

void UpdateService::checkDiskImage(
    const fs::path& image, const UpdateRelease& release,
    const std::function<void(const fs::path&)>& whileAttached) const {
  // A tampered or truncated image is refused by its digest before any tool reads it.
  if (fileSHA256(image) != release.artifact.sha256) fail(markers::kIntegrityCheckFailed);
  const platform::FileStatus file = files.status(image);
  const std::uint64_t size = file.exists ? file.size : 0;
  if (size != static_cast<std::uint64_t>(release.artifact.size)) {
    fail(markers::kIntegrityCheckFailed);
  }
  UpdateSecurity::verifyCode(image, std::nullopt, product.team);
  runCommand("/usr/sbin/spctl",
             {"--assess", "--type", "open", "--context", "context:primary-signature", image});

  const fs::path mountFolder = cache / ("mount-" + platform::newUuidString());
  files.createDirectory(mountFolder, 0700);
  try {
    runCommand("/usr/bin/hdiutil", {"attach", "-readonly", "-nobrowse", "-noautoopen",
                                    "-mountpoint", mountFolder, image});
  } catch (...) {
    cleanUpMount(false, mountFolder);
    throw;
  }
  std::exception_ptr failure;
  try {
    const fs::path mounted = mountFolder / product.appName;
    verifyPackage(product, mounted, release);
    if (whileAttached) whileAttached(mounted);
  } catch (...) {
    failure = std::current_exception();
  }
  cleanUpMount(true, mountFolder);
  if (failure) std::rethrow_exception(failure);
}

void UpdateService::verifyDiskImage(const fs::path& at, const UpdateRelease& release) const {
  checkDiskImage(at, release, nullptr);
}

void UpdateService::installFromDiskImage(const fs::path& image, const UpdateRelease& release,
                                         const platform::plist::Dictionary& installedInfo) const {
  checkDiskImage(image, release, [&](const fs::path& mounted) {
    replaceInstalledApp(mounted, release, installedInfo);
  });
}

void UpdateService::cleanUpMount(bool mounted, const fs::path& mountFolder) const noexcept {
  try {
    // Never forced: a detach that fails leaves the folder, since removing files below a mount
    // would reach into the image.
    if (mounted) runCommand("/usr/bin/hdiutil", {"detach", mountFolder});
    files.removeItem(mountFolder);
  } catch (const std::exception& error) {
    files.log(std::string("Could not clean up the update mount: ") + error.what());
  } catch (...) {
    files.log("Could not clean up the update mount: unknown error");
  }
}

}  // namespace bramlow
