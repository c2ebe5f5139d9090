#include "updater/UpdateService.h"

#include "platform/crypto/Sha256.h"
#include "shared/UpdateFailure.h"
#include "updater/BuildNumber.h"
#include "updater/BundleFacts.h"

namespace bramlow {
namespace fs = std::filesystem;

struct UpdateService::Parts {
  UpdateProduct product;
  fs::path appURL;
  fs::path cache;
  platform::Env* files;
};

UpdateService::UpdateService() : UpdateService(platform::Bundle::main()) {}

UpdateService::UpdateService(const platform::Bundle& updaterBundle)
    : UpdateService(makeParts(updaterBundle)) {}

UpdateService::UpdateService(Parts parts)
    : product(std::move(parts.product)),
      appURL(std::move(parts.appURL)),
      cache(std::move(parts.cache)),
      files(*parts.files) {}

// The construction steps in their order; the first failure is the construction's failure.
UpdateService::Parts UpdateService::makeParts(const platform::Bundle& bundle) {
  platform::Env& files = platform::env();
  UpdateProduct product = UpdateProduct::init(bundle);

  // updater bundle → XPCServices → Contents → extension → PlugIns → Contents → application
  fs::path appURL = bundle.bundlePath();
  for (int i = 0; i < 6; ++i) appURL = appURL.parent_path();
  if (appURL.filename() != product.appName) fail(markers::kNotInsideApp);
  const fs::path expected = appURL / "Contents" / "PlugIns" / product.extensionName / "Contents" /
                            "XPCServices" / "BramlowUpdater.xpc";
  // Plain string comparison: a symbolic link on the way is not resolved.
  if (expected.string() != bundle.bundlePath().string()) fail(markers::kNotInsideApp);

  const std::string& base = product.baseURL.absoluteString();
  const platform::Sha256Digest digest = platform::Sha256::digest(base);
  const fs::path cache =
      files.cachesDirectory() / "com.bramlow.updates" / product.appID / hexString(digest);
  files.createDirectories(cache, 0700);
  return Parts{std::move(product), std::move(appURL), cache, &files};
}

platform::plist::Dictionary UpdateService::installedAppInfo() const {
  platform::plist::Dictionary info = readInfoPlist(appURL);
  const std::string* identifier = platform::plist::stringForKey(info, "CFBundleIdentifier");
  const std::string* build = platform::plist::stringForKey(info, "CFBundleVersion");
  if (!identifier || *identifier != product.appID || !build || !parseBuildNumber(*build)) {
    fail(markers::kInstalledAppUnidentified);
  }
  return info;
}

}  // namespace bramlow
