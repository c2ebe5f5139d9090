// The frame every operation runs in (lock, identification of the installed application, clearing
// what interrupted operations left, dispatch) and the "check", "download" and "install" operations.
#include <fcntl.h>
#include <stdio.h>  // RENAME_NOREPLACE

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/bundle/RunningApplications.h"
#include "platform/env/Env.h"
#include "platform/env/Fd.h"
#include "platform/env/Uuid.h"
#include "shared/UpdateFailure.h"
#include "shared/UpdateSecurity.h"
#include "updater/BuildNumber.h"
#include "updater/BundleFacts.h"
#include "updater/UpdateRelease.h"
#include "updater/UpdateService.h"
#include "updater/UpdateTransfer.h"
#include "updater/removeTemporaryItem.h"
#include "updater/runCommand.h"
#include "updater/verifyPackage.h"

namespace bramlow {
namespace fs = std::filesystem;

namespace {

// The release information is a small document; anything larger is not one.
constexpr std::int64_t kReleaseInformationLimit = 65536;

UpdateRelease validRelease(const UpdateService& service, const std::string& bytes) {
  UpdateRelease release = UpdateRelease::decode(bytes);
  release.validate(service.product);
  return release;
}

// What the cache folder holds can have been replaced by anyone who can write there: a FIFO or a
// device in its place must not block or flood the operation that holds the lock.
std::string readReleaseInformation(const UpdateService& service, const fs::path& file) {
  return service.files.readRegularFile(file, kReleaseInformationLimit);
}

bool isUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// prefix + UUID (upper case, with hyphens) + suffix: the names of the updater's temporary items.
bool isTemporaryName(std::string_view name, std::string_view prefix, std::string_view suffix) {
  constexpr std::size_t uuidLength = 36;
  if (name.size() != prefix.size() + uuidLength + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix)) {
    return false;
  }
  const std::string_view uuid = name.substr(prefix.size(), uuidLength);
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? uuid[i] != '-' : !isUpperHexDigit(uuid[i])) return false;
  }
  return true;
}

// mkdtemp's six characters after the replacement folder's prefix.
bool isReplacementFolderName(std::string_view name) {
  const std::string_view prefix = UpdateService::kReplacementFolderPrefix;
  return name.size() == prefix.size() + 6 && name.starts_with(prefix);
}

std::vector<std::string> namesIn(const UpdateService& service, const fs::path& folder) noexcept {
  try {
    return service.files.listDirectory(folder);
  } catch (const std::exception&) {
    return {};  // the next operation tries again; clearing up never fails an operation
  }
}

// Temporary items go on every way out of the step that made them, but not when their process is
// killed. Under the lock no operation can be running (operations are serial and each holds the
// lock), so any such item left is an earlier process's: a partial transfer, a "download-" image,
// a "mount-" folder (still attached when the process died between attach and detach) and an
// item-replacement folder beside the application (the staged copy, or the old application after
// the exchange).
void removeStaleItems(const UpdateService& service) noexcept {
  for (const std::string& name : namesIn(service, service.cache)) {
    const fs::path path = service.cache / name;
    if (isTemporaryName(name, ".transfer-", ".part") ||
        isTemporaryName(name, "download-", ".dmg")) {
      removeTemporaryItem(path);
    } else if (isTemporaryName(name, "mount-", "")) {
      bool mounted = false;
      try {
        mounted = service.files.isMountPoint(path);
      } catch (const std::exception&) {
        mounted = true;  // unknown: a detach that fails leaves the folder alone
      }
      service.cleanUpMount(mounted, path);
    }
  }
  // Not a folder an updater still runs from: after replacing its application, that process
  // answers its clients from there (they check who answered) before it removes the folder.
  const fs::path beside = service.appURL.parent_path();
  for (const std::string& name : namesIn(service, beside)) {
    const fs::path folder = beside / name;
    if (isReplacementFolderName(name) && !platform::processRunsFrom(folder)) {
      removeTemporaryItem(folder);
    }
  }
}

// Whether "release.json" may answer instead of the server: it exists, its date is not in the
// future, and it is younger than the check interval.
bool cacheIsFresh(const UpdateService& service, const fs::path& releaseFile) {
  const platform::FileStatus file = service.files.status(releaseFile);
  if (!file.exists) return false;
  const double age =
      std::chrono::duration<double>(service.files.now() - file.modificationTime).count();
  // A date in the future (a clock set back, a copied file) proves nothing about freshness.
  if (age < 0) return false;
  return age < service.product.checkInterval;
}

// Fetches "latest.json" and, once it is valid, keeps its exact bytes as "release.json". The fetch
// goes to a "feed-" file that is removed on every way out; a failure leaves "release.json" as it
// was.
UpdateRelease fetchRelease(const UpdateService& service, const fs::path& releaseFile) {
  const TemporaryItem temp(service.cache / ("feed-" + platform::newUuidString() + ".json"));
  UpdateTransfer transfer;
  transfer.download(service.product.baseURL.appendingPathComponent("latest.json"), temp.path(),
                    kReleaseInformationLimit);
  const std::string bytes = readReleaseInformation(service, temp.path());
  UpdateRelease release = validRelease(service, bytes);
  service.files.writeFileAtomically(releaseFile, bytes);
  return release;
}

ResultDictionary check(const UpdateService& service, bool force) {
  const fs::path releaseFile = service.cache / "release.json";
  // Within the interval the cache answers, also with its failure: a cached release that no longer
  // validates is not a reason to ask the server before the interval is over.
  const UpdateRelease release =
      !force && cacheIsFresh(service, releaseFile)
          ? validRelease(service, readReleaseInformation(service, releaseFile))
          : fetchRelease(service, releaseFile);
  return ResultDictionary{{"version", release.build},
                          {"nativeVersion", release.version},
                          {"payloadVersion", release.payloadVersion}};
}

// The release that "download" and "install" work from: the stored one, whatever its age, for the
// build the client asked for, and newer than the installed application. An application already at
// that build must be exactly that release; nullopt then.
std::optional<UpdateRelease> releaseToApply(const UpdateService& service, const std::string& build,
                                            const platform::plist::Dictionary& installedInfo) {
  UpdateRelease release =
      validRelease(service, readReleaseInformation(service, service.cache / "release.json"));
  if (release.build != build) fail(markers::kReleaseChanged);
  const std::string* installedText =
      platform::plist::stringForKey(installedInfo, "CFBundleVersion");
  // A missing version parses like an empty one: not at all.
  const std::optional<std::uint64_t> installed =
      parseBuildNumber(installedText ? std::string_view(*installedText) : std::string_view());
  const std::optional<std::uint64_t> offered = parseBuildNumber(release.build);
  if (!installed || !offered) fail(markers::kNotNewer);
  // Plain values, which GCC 12 does not take for maybe-uninitialised.
  const std::uint64_t installedBuild = installed.value_or(0);
  const std::uint64_t offeredBuild = offered.value_or(0);
  if (offeredBuild < installedBuild) fail(markers::kNotNewer);
  if (offeredBuild == installedBuild) {
    verifyPackage(service.product, service.appURL, release);
    return std::nullopt;
  }
  return release;
}

// A held image that is no longer the release's, or that is no image at all (a link, a FIFO, a
// device...), is not kept.
[[noreturn]] void heldImageChanged(const fs::path& image) {
  removeTemporaryItem(image);
  fail(markers::kCachedUpdateChanged);
}

ResultDictionary download(const UpdateService& service, const UpdateRelease& release) {
  const fs::path image = service.cache / release.artifact.name;
  if (service.files.status(image).exists) {
    std::string digest;
    try {
      digest = fileSHA256(image);
    } catch (const platform::NotRegularFileError&) {
      heldImageChanged(image);
    } catch (...) {
      removeTemporaryItem(image);
      throw;
    }
    // A held image that still matches is the release's.
    if (digest == release.artifact.sha256) return ResultDictionary{{"version", release.build}};
    heldImageChanged(image);
  }
  const TemporaryItem temp(service.cache / ("download-" + platform::newUuidString() + ".dmg"));
  UpdateTransfer transfer;
  transfer.download(service.product.baseURL.appendingPathComponent(release.artifact.name),
                    temp.path(), release.artifact.size);
  service.verifyDiskImage(temp.path(), release);
  // A move, never a copy: the held image is the very file that was checked. Its bytes reach the
  // disk before its name, and its name before the answer that a later install relies on.
  service.files.syncPath(temp.path());
  service.files.renameat2(temp.path(), image, RENAME_NOREPLACE);
  service.files.syncPath(service.cache);
  return ResultDictionary{{"version", release.build}};
}

// Whether the application sits where it can be replaced: not on another volume, not behind a
// symbolic link (the exchange would replace the link, not the application), in a folder the
// updater may write.
bool isReplaceable(const UpdateService& service) {
  const fs::path& app = service.appURL;
  if (app.string().starts_with("/Volumes/")) return false;
  std::error_code error;
  const fs::path resolved = fs::canonical(app, error);
  if (error || resolved != app.lexically_normal()) return false;
  return service.files.isWritable(app.parent_path());
}

ResultDictionary install(const UpdateService& service, const UpdateRelease& release,
                         const platform::plist::Dictionary& installedInfo) {
  if (!isReplaceable(service)) fail(markers::kNotWritable);
  if (!platform::runningApplicationsWithBundleIdentifier(service.product.appID).empty()) {
    fail(markers::kSetupAppRunning);
  }
  UpdateSecurity::verifyCode(service.appURL, service.product.appID, service.product.team);
  const fs::path image = service.cache / release.artifact.name;
  try {
    service.installFromDiskImage(image, release, installedInfo);
  } catch (const platform::NotRegularFileError&) {
    heldImageChanged(image);
  }
  removeTemporaryItem(image);
  return ResultDictionary{{"version", release.build}, {"installed", true}};
}

}  // namespace

ResultDictionary UpdateService::performOperation(const std::string& action,
                                                 const std::string& build, bool force) const {
  platform::UniqueFd lock;
  try {
    lock = files.open(cache / "update.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  } catch (const std::system_error&) {
    fail(markers::kLockNotOpened);
  }
  // Not waiting: a second operation, here or in another process, is refused at once. Closing the
  // descriptor on the way out (or the process dying) releases the lock.
  if (!files.tryLockExclusive(lock.get())) fail(markers::kOperationInProgress);
  removeStaleItems(*this);

  const platform::plist::Dictionary installedInfo = installedAppInfo();

  if (action == "check") return check(*this, force);
  if (action == "download" || action == "install") {
    const std::optional<UpdateRelease> release = releaseToApply(*this, build, installedInfo);
    if (!release) return ResultDictionary{{"version", build}, {"installed", true}};
    return action == "download" ? download(*this, *release)
                                : install(*this, *release, installedInfo);
  }
  fail(markers::kOperationNotSupported);
}

}  // namespace bramlow
