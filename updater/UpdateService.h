// The updater's one service object: the product configuration, the installed application it
// belongs to, its private cache folder and the file system it works through. Built once, before
// any request is served; immutable afterwards.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "platform/bundle/Bundle.h"
#include "platform/env/Env.h"
#include "platform/formats/PropertyList.h"
#include "updater/UpdateProduct.h"
#include "updater/UpdateRelease.h"

namespace bramlow {

// The JSON object a successful operation answers with: string keys to strings or booleans.
using ResultDictionary = std::map<std::string, std::variant<std::string, bool>>;

class UpdateService {
 public:
  // Builds the service from the process's main bundle. Throws UpdateFailure when the
  // configuration is invalid or the updater is not at its place inside the installed application,
  // and the platform's error when the configuration or the cache folder cannot be read or made.
  UpdateService();
  // The same from a given updater bundle (tests build services for bundles on disk).
  explicit UpdateService(const platform::Bundle& updaterBundle);

  // The installed application's Info.plist, once its identifier and build have been checked.
  platform::plist::Dictionary installedAppInfo() const;

  // Runs one operation ("check", "download" or "install") under the exclusive lock of the cache
  // folder and returns its result. Throws UpdateFailure, or the platform's error where a step
  // passes one through (file system, JSON, URL loading).
  ResultDictionary performOperation(const std::string& action, const std::string& build,
                                    bool force) const;

  // Puts the application at source (checked, inside an attached image) in the place of the
  // installed one: a copy beside it is checked again, the installed build must still be the one
  // of installedAtStart, then one atomic exchange. The installed application is unchanged unless
  // the exchange succeeded; the replacement folder never outlives the call.
  void replaceInstalledApp(const std::filesystem::path& source, const UpdateRelease& release,
                           const platform::plist::Dictionary& installedAtStart) const;

  // The image's digest and size, its signature by the product's team and the system's assessment,
  // then the application inside it, attached read-only at a new "mount-" folder of the cache that
  // is detached and removed before the call returns.
  void verifyDiskImage(const std::filesystem::path& at, const UpdateRelease& release) const;
  // The same checks, then replaceInstalledApp with the mounted application while it is attached.
  // Anything but a regular file at image throws platform::NotRegularFileError, before any check.
  void installFromDiskImage(const std::filesystem::path& image, const UpdateRelease& release,
                            const platform::plist::Dictionary& installedInfo) const;
  // Detaches the mount folder when mounted, then removes it; a failure is logged, never thrown.
  void cleanUpMount(bool mounted, const std::filesystem::path& mountFolder) const noexcept;

  // Where the item-replacement folders beside the application start their names.
  static constexpr const char* kReplacementFolderPrefix = ".bramlow-replacement-";

  // The folder that holds the application an install just replaced, when that application is the
  // one this process runs from; once per install, then nothing. Its removal is the caller's: this
  // process's own code lives there until it exits (see replaceInstalledApp).
  std::optional<std::filesystem::path> takeReplacedApplication() const {
    return std::exchange(replacedApplication_, std::nullopt);
  }

  const UpdateProduct product;
  const std::filesystem::path appURL;
  const std::filesystem::path cache;
  platform::Env& files;

 private:
  // The disk-image steps shared by verifyDiskImage and installFromDiskImage; whileAttached runs
  // with the mounted application after it passed the package check.
  void checkDiskImage(const std::filesystem::path& image, const UpdateRelease& release,
                      const std::function<void(const std::filesystem::path&)>& whileAttached) const;

  // Written and read only on the work queue, like everything else of the service.
  mutable std::optional<std::filesystem::path> replacedApplication_;

  struct Parts;
  static Parts makeParts(const platform::Bundle& updaterBundle);
  explicit UpdateService(Parts parts);
};

}  // namespace bramlow
