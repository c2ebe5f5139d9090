// The updater's one service object: the product configuration, the installed application it
// belongs to, its private cache folder and the file system it works through. Built once, before
// any request is served; immutable afterwards.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <variant>

#include "platform/Bundle.h"
#include "platform/Env.h"
#include "platform/PropertyList.h"
#include "updater/UpdateProduct.h"

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

  const UpdateProduct product;
  const std::filesystem::path appURL;
  const std::filesystem::path cache;
  platform::Env& files;

 private:
  struct Parts;
  static Parts makeParts(const platform::Bundle& updaterBundle);
  explicit UpdateService(Parts parts);
};

}  // namespace bramlow
