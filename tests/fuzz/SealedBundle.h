// The small bundle the seal and signature targets verify: the same bytes every run, so that seeds
// made from it with the codesign tool (`codesign --sign ID.pem --identifier com.bramlow.fuzz`)
// stay valid. A file, a folder and a symbolic link, the three kinds a seal lists.
#pragma once

#include <filesystem>

#include "tests/fuzz/Fuzz.h"
#include "tests/security/SigningTestSupport.h"

namespace fuzzing {

inline constexpr const char* kSealedIdentifier = "com.bramlow.fuzz";

// The bundle in a platform root that trusts the test anchors, in use for the whole run, and when
// asked signed.
struct SealedBundleRoot : Root {
  std::filesystem::path bundle = dir.path() / "Fuzz.app";

  explicit SealedBundleRoot(bool sign = false) {
    using namespace testing_support;
    installAnchors(env.platformRoot());
    writeFile(bundle / "Contents/Info.plist",
              "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
              "<string>com.bramlow.fuzz</string></dict></plist>\n");
    writeFile(bundle / "Contents/Resources/en.json", "{\"0\": \"zero\"}\n");
    std::filesystem::create_symlink("../Info.plist", bundle / "Contents/Resources/Info.plist");
    if (sign) signWith(bundle, bramlow::release::kDeveloperIdIdentity, kSealedIdentifier);
  }
};

}  // namespace fuzzing
