#include "tools/release/Package.h"

#include <map>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/bundle/Bundle.h"
#include "platform/codesign/CodeSigning.h"
#include "platform/crypto/Sha256.h"
#include "platform/diskimage/DiskImage.h"
#include "platform/env/Env.h"
#include "platform/formats/Json.h"
#include "platform/formats/PropertyList.h"
#include "shared/UpdateFailure.h"
#include "updater/BundleFacts.h"
#include "updater/UpdateRelease.h"
#include "updater/UpdateService.h"
#include "updater/verifyPackage.h"

namespace bramlow::release {
namespace fs = std::filesystem;
namespace plist = platform::plist;
namespace codesign = platform::codesign;

namespace {

std::string readAll(const fs::path& path) { return platform::env().readFile(path); }

void writeAll(const fs::path& path, const std::string& bytes) {
  platform::env().writeFileAtomically(path, bytes);
}

// The one extension bundle of an application.
fs::path extensionOf(const fs::path& app) {
  fs::path found;
  for (const auto& entry : fs::directory_iterator(app / "Contents" / "PlugIns")) {
    if (entry.path().extension() != ".appex") continue;
    if (!found.empty()) throw std::runtime_error(app.string() + ": more than one extension");
    found = entry.path();
  }
  if (found.empty()) throw std::runtime_error(app.string() + ": no extension");
  return found;
}

plist::Dictionary infoOf(const fs::path& bundle) {
  const plist::Value value = plist::parse(readAll(bundle / "Contents" / "Info.plist"));
  const plist::Dictionary* dictionary = value.dictionary();
  if (!dictionary) throw std::runtime_error(bundle.string() + ": Info.plist is not a dictionary");
  return *dictionary;
}

void stamp(const fs::path& bundle, const std::map<std::string, std::string>& values) {
  plist::Dictionary info = infoOf(bundle);
  for (const auto& [key, value] : values) info[key] = value;
  writeAll(bundle / "Contents" / "Info.plist", plist::serialize(info));
}

std::string required(const plist::Dictionary& info, const char* key, const fs::path& bundle) {
  const std::string* value = plist::stringForKey(info, key);
  if (!value || value->empty()) throw std::runtime_error(bundle.string() + ": no " + key);
  return *value;
}

// The team an identity signs for: its leaf's subject OU, read from a probe it signs.
std::string teamOf(const codesign::SigningIdentity& identity, const fs::path& scratch) {
  const fs::path probe = scratch / ".team-probe";
  writeAll(probe, "probe");
  codesign::sign(probe, identity, "probe");
  const std::optional<std::string> team =
      codesign::StaticCode::createWithPath(probe).signingInformation().team;
  fs::remove(probe);
  if (!team || team->empty()) throw std::runtime_error("the identity names no team");
  return *team;
}

// The web payload's digest: every regular file of the extension's resources, in path order, as
// path, NUL, length, NUL, bytes, so that no two payloads share a digest input.
std::string payloadDigest(const fs::path& resources) {
  std::map<std::string, fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(resources)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), resources).string()] = entry;
  }
  platform::Sha256 hash;
  for (const auto& [name, path] : files) {
    const std::string bytes = readAll(path);
    const std::string head = name + '\0' + std::to_string(bytes.size()) + '\0';
    hash.update(head.data(), head.size());
    hash.update(bytes.data(), bytes.size());
  }
  return hexString(hash.finish());
}

}  // namespace

void package(const PackageOptions& options) {
  if (!matchesVersionPattern(options.version) || !matchesBuildPattern(options.build) ||
      !matchesVersionPattern(options.minimumSystem) || options.payloadVersion.empty()) {
    throw std::runtime_error("the version, build, payload version or minimum system is invalid");
  }
  const codesign::SigningIdentity identity = codesign::SigningIdentity::load(options.identity);
  fs::create_directories(options.out);
  const std::string team = teamOf(identity, options.out);

  const fs::path appName = options.app.filename();
  const fs::path staging = options.out / ".staging";
  fs::remove_all(staging);
  fs::create_directories(staging);
  const fs::path app = staging / appName;
  fs::copy(options.app, app, fs::copy_options::recursive | fs::copy_options::copy_symlinks);

  const fs::path extension = extensionOf(app);
  const fs::path updater = extension / "Contents" / "XPCServices" / "BramlowUpdater.xpc";
  const std::map<std::string, std::string> numbers = {
      {"CFBundleShortVersionString", options.version}, {"CFBundleVersion", options.build}};
  std::map<std::string, std::string> appValues = numbers;
  appValues["LSMinimumSystemVersion"] = options.minimumSystem;
  std::map<std::string, std::string> extensionValues = numbers;
  extensionValues["BramlowSigningTeam"] = team;
  std::map<std::string, std::string> updaterValues = numbers;
  updaterValues["UpdateBaseURL"] = options.baseURL;
  updaterValues["UpdateSigningTeam"] = team;
  stamp(app, appValues);
  stamp(extension, extensionValues);
  stamp(updater, updaterValues);

  const fs::path manifestFile = extension / "Contents" / "Resources" / "manifest.json";
  platform::Json manifest = platform::parseJson(readAll(manifestFile));
  if (!manifest.is_object()) throw std::runtime_error(manifestFile.string() + ": not an object");
  manifest["version"] = options.payloadVersion;
  writeAll(manifestFile, manifest.dump(2) + "\n");

  // Inside out: a bundle's seal holds the seals of the bundles nested in it.
  for (const fs::path& code : {updater, extension, app}) codesign::sign(code, identity, {});

  const plist::Dictionary updaterInfo = infoOf(updater);
  const std::string appID = required(updaterInfo, "UpdateAppIdentifier", updater);
  const std::string artifact =
      required(updaterInfo, "UpdateArtifactPrefix", updater) + "-" + options.build + ".dmg";
  const fs::path image = options.out / artifact;
  fs::remove(image);
  platform::diskimage::createImage(staging, image);
  codesign::sign(image, identity, fs::path(artifact).stem().string());

  const platform::Json release = {
      {"schema", 1},
      {"product", appID},
      {"version", options.version},
      {"build", options.build},
      {"payloadVersion", options.payloadVersion},
      {"payloadSha256", payloadDigest(extension / "Contents" / "Resources")},
      {"minimumSystemVersion", options.minimumSystem},
      {"artifact",
       {{"name", artifact},
        {"sha256", fileSHA256(image)},
        {"size", static_cast<std::int64_t>(fs::file_size(image))}}}};

  const fs::path published = options.out / appName;
  fs::remove_all(published);
  fs::rename(app, published);
  fs::remove_all(staging);
  writeAll(options.out / "latest.json", release.dump(2) + "\n");
}

void checkRelease(const fs::path& folder) {
  const std::string bytes = platform::env().readRegularFile(folder / "latest.json", 65536);
  const UpdateRelease release = UpdateRelease::decode(bytes);
  // The published application's own updater states the product the release is for.
  fs::path app;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".app") app = entry.path();
  }
  if (app.empty()) throw std::runtime_error(folder.string() + ": no application");
  const fs::path updater = extensionOf(app) / "Contents" / "XPCServices" / "BramlowUpdater.xpc";
  const UpdateService service{platform::Bundle(updater)};
  try {
    release.validate(service.product);
  } catch (const UpdateFailure& failure) {
    // The publishing machine is not the one the release is for.
    if (!failure.text().starts_with(markers::kMinimumSystemRequired)) throw;
  }
  const fs::path image = folder / release.artifact.name;
  service.verifyDiskImage(image, release);
  verifyPackage(service.product, app, release);
}

}  // namespace bramlow::release
