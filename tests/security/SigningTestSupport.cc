#include "tests/security/SigningTestSupport.h"

#include <memory>

namespace testing_support {
namespace fs = std::filesystem;
namespace codesign = platform::codesign;

const fs::path& identitiesFolder() {
  static const std::unique_ptr<TempDir> folder = [] {
    auto made = std::make_unique<TempDir>();
    bramlow::release::writeTestIdentities(kTeam, made->path());
    return made;
  }();
  return folder->path();
}

void installAnchors(const fs::path& root) {
  const fs::path security = root / "System" / "Library" / "Security";
  fs::create_directories(security);
  fs::copy_file(identityFile(bramlow::release::kAnchorsFile), security / "anchors.pem",
                fs::copy_options::overwrite_existing);
}

void signWith(const fs::path& code, const char* identity,
              const std::optional<std::string>& identifier) {
  codesign::sign(code, codesign::SigningIdentity::load(identityFile(identity)), identifier);
}

void signApp(const TestApp& app, const char* identity) {
  for (const fs::path& code : {app.updaterURL, app.extensionURL, app.appURL}) {
    signWith(code, identity);
  }
}

std::string leafFingerprint(const char* identity) {
  TempDir scratch;
  const fs::path file = scratch.path() / "probe";
  writeFile(file, "probe");
  signWith(file, identity, "probe");
  return codesign::StaticCode::createWithPath(file).signingInformation().leafSha256;
}

codesign::Status checkStatus(const fs::path& path, const std::string& requirement,
                             codesign::Flags flags) {
  try {
    const codesign::StaticCode code = codesign::StaticCode::createWithPath(path);
    if (requirement.empty()) {
      code.checkValidity(flags, nullptr);
    } else {
      const codesign::Requirement compiled = codesign::Requirement::compile(requirement);
      code.checkValidity(flags, &compiled);
    }
    return codesign::Status::kSuccess;
  } catch (const codesign::CodeSigningError& error) {
    return error.status();
  }
}

}  // namespace testing_support
