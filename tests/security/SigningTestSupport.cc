#include "tests/security/SigningTestSupport.h"

#include <memory>

#include "platform/CodeSigning.h"
#include "tools/release/Identities.h"

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

void signApp(const TestApp& app, const fs::path& identity) {
  const codesign::SigningIdentity signer = codesign::SigningIdentity::load(identity);
  codesign::sign(app.updaterURL, signer, std::nullopt);
  codesign::sign(app.extensionURL, signer, std::nullopt);
  codesign::sign(app.appURL, signer, std::nullopt);
}

std::string leafFingerprint(const fs::path& identity) {
  TempDir scratch;
  const fs::path file = scratch.path() / "probe";
  writeFile(file, "probe");
  codesign::sign(file, codesign::SigningIdentity::load(identity), "probe");
  return codesign::StaticCode::createWithPath(file).signingInformation().leafSha256;
}

}  // namespace testing_support
