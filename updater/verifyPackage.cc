#include "updater/verifyPackage.h"

#include <string>

#include "platform/env/Env.h"
#include "platform/formats/Json.h"
#include "platform/formats/PropertyList.h"
#include "shared/UpdateFailure.h"
#include "shared/UpdateSecurity.h"
#include "updater/BundleFacts.h"
#include "updater/runCommand.h"

namespace bramlow {
namespace fs = std::filesystem;

namespace {

// A value counts only when it is a string equal to expected: absent keys and values of other
// types (a Boolean YES, a number) never match.
bool hasString(const platform::plist::Dictionary& info, const char* key,
               const std::string& expected) {
  const std::string* value = platform::plist::stringForKey(info, key);
  return value != nullptr && *value == expected;
}

}  // namespace

void verifyPackage(const UpdateProduct& product, const fs::path& at, const UpdateRelease& release) {
  UpdateSecurity::verifyCode(at, product.appID, product.team);
  const platform::plist::Dictionary app = readInfoPlist(at);
  if (!hasString(app, "CFBundleIdentifier", product.appID) ||
      !hasString(app, "CFBundleVersion", release.build) ||
      !hasString(app, "CFBundleShortVersionString", release.version) ||
      !hasString(app, "LSMinimumSystemVersion", release.minimumSystemVersion)) {
    fail(markers::kPackageMismatch);
  }

  const fs::path extension = at / "Contents" / "PlugIns" / product.extensionName;
  UpdateSecurity::verifyCode(extension, product.extensionID, product.team);
  const platform::plist::Dictionary extensionInfo = readInfoPlist(extension);
  if (!hasString(extensionInfo, "CFBundleVersion", release.build) ||
      !hasString(extensionInfo, "CFBundleShortVersionString", release.version) ||
      !hasString(extensionInfo, "BramlowDirectUpdates", "YES")) {
    fail(markers::kAppExtensionVersionMismatch);
  }

  // The helper that runs is the one inside the extension: the updater refuses to serve from any
  // other place, so a helper beside the application would prove nothing about the one that runs.
  const fs::path helper = extension / "Contents" / "XPCServices" / "BramlowUpdater.xpc";
  UpdateSecurity::verifyCode(helper, product.appID + ".Updater", product.team);
  const platform::plist::Dictionary helperInfo = readInfoPlist(helper);
  if (!hasString(helperInfo, "CFBundleVersion", release.build) ||
      !hasString(helperInfo, "CFBundleShortVersionString", release.version) ||
      !hasString(helperInfo, "UpdateBaseURL", product.baseURL.absoluteString())) {
    fail(markers::kHelperMismatch);
  }

  const std::string manifestBytes =
      platform::env().readFile(extension / "Contents" / "Resources" / "manifest.json");
  const platform::Json manifest = platform::parseJson(manifestBytes);
  const auto version = manifest.is_object() ? manifest.find("version") : manifest.end();
  if (!manifest.is_object() || version == manifest.end() || !version->is_string() ||
      version->get_ref<const std::string&>() != release.payloadVersion) {
    fail(markers::kPayloadVersionMismatch);
  }

  runCommand("/usr/sbin/spctl", {"--assess", "--type", "execute", at.string()});
}

}  // namespace bramlow
