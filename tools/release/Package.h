// Publishing a release: a signed application, its signed disk image and the release manifest in
// one folder, and the check of such a folder with the updater's own rules.
#pragma once

#include <filesystem>
#include <string>

namespace bramlow::release {

struct PackageOptions {
  std::filesystem::path app;       // the application bundle to publish (left unchanged)
  std::filesystem::path identity;  // the signing identity (PEM: key, leaf, intermediate)
  std::string version;             // CFBundleShortVersionString of all three bundles
  std::string build;               // CFBundleVersion of all three bundles
  std::string payloadVersion;      // "version" of the extension's Resources/manifest.json
  std::string minimumSystem;       // LSMinimumSystemVersion of the application
  std::string baseURL;             // the updater's UpdateBaseURL
  std::filesystem::path out;       // made when missing; must not hold this release yet
};

// Writes out/<app name> (signed inside out: updater, extension, application),
// out/<prefix>-<build>.dmg (signed with the artifact name without ".dmg" as identifier) and
// out/latest.json. Throws std::exception with the reason.
void package(const PackageOptions& options);

// Checks out/latest.json, the image it names and the application in it as the updater would before
// it holds and installs them, and the application beside the image. Throws std::exception (an
// UpdateFailure's marker among them) with the first failure.
void checkRelease(const std::filesystem::path& folder);

}  // namespace bramlow::release
