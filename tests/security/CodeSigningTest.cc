// Signing and static validation of real bundles and flat files on disk, and what each kind of
// tampering turns into.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "platform/CodeSigning.h"
#include "tests/security/SigningTestSupport.h"
#include "tools/release/Identities.h"

namespace {
namespace fs = std::filesystem;
namespace codesign = platform::codesign;
namespace release = bramlow::release;
using codesign::Status;
using namespace testing_support;

constexpr codesign::Flags kStrict =
    codesign::kCheckAllArchitectures | codesign::kCheckNestedCode | codesign::kStrictValidate;

// The status a check ends with: kSuccess when it passes.
Status check(const fs::path& path, const std::string& requirement = {},
             codesign::Flags flags = kStrict) {
  try {
    const codesign::StaticCode code = codesign::StaticCode::createWithPath(path);
    if (requirement.empty()) {
      code.checkValidity(flags, nullptr);
    } else {
      const codesign::Requirement compiled = codesign::Requirement::compile(requirement);
      code.checkValidity(flags, &compiled);
    }
    return Status::kSuccess;
  } catch (const codesign::CodeSigningError& error) {
    return error.status();
  }
}

void flipByte(const fs::path& path, std::uintmax_t offset) {
  std::string bytes = readFile(path);
  ASSERT_LT(offset, bytes.size());
  bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5a);
  writeFile(path, bytes);
}

void resign(const fs::path& bundle, const char* identity) {
  codesign::sign(bundle, codesign::SigningIdentity::load(identityFile(identity)), std::nullopt);
}

class CodeSigningTest : public ::testing::Test {
 protected:
  CodeSigningTest() : env_(dir_.path() / "root"), scoped_(env_) {
    installAnchors(env_.platformRoot());
  }

  // A signed test application in a folder of its own, with a symbolic link among its resources.
  TestApp signedApp(const std::string& folder,
                    const char* identity = release::kDeveloperIdIdentity) {
    TestApp app = makeTestApp(dir_.path() / folder);
    fs::create_directories(app.appURL / "Contents/Resources");
    fs::create_symlink("../Info.plist", app.appURL / "Contents/Resources/info-link");
    signApp(app, identityFile(identity));
    return app;
  }

  TempDir dir_;
  TestEnv env_;
  platform::ScopedEnvForTesting scoped_;
};

TEST_F(CodeSigningTest, SignedBundleIsValidWithItsNestedCode) {
  const TestApp app = signedApp("app");
  EXPECT_EQ(check(app.appURL), Status::kSuccess);
  EXPECT_EQ(check(app.extensionURL), Status::kSuccess);
  EXPECT_EQ(check(app.updaterURL), Status::kSuccess);
  const codesign::SigningInformation info =
      codesign::StaticCode::createWithPath(app.appURL).signingInformation();
  EXPECT_TRUE(info.isBundle);
  EXPECT_EQ(info.identifier, kAppID);
  EXPECT_EQ(info.team, kTeam);
  EXPECT_EQ(info.authorities,
            (std::vector<std::string>{"Developer ID Application: Test Developer (TESTTEAM01)",
                                      "Developer ID Certification Authority",
                                      "Test Code Signing Root CA"}));
  EXPECT_EQ(info.leafSha256, leafFingerprint(identityFile(release::kDeveloperIdIdentity)));
}

TEST_F(CodeSigningTest, EveryTamperingIsRefused) {
  struct Row {
    const char* name;
    std::function<void(const TestApp&)> tamper;
    Status expected;
  };
  const Row rows[] = {
      {"a byte changed", [](const TestApp& a) { flipByte(a.appURL / "Contents/Info.plist", 10); },
       Status::kSealBroken},
      {"same size, other content",
       [](const TestApp& a) {
         writeFile(a.appURL / "Contents/MacOS/Bramlow for Safari", "#!ppa\n");
       },
       Status::kSealBroken},
      {"a file added",
       [](const TestApp& a) { writeFile(a.appURL / "Contents/Resources/extra.json", "{}"); },
       Status::kSealBroken},
      {"a file added beside Contents",
       [](const TestApp& a) { writeFile(a.appURL / "README", "x"); }, Status::kSealBroken},
      {"a file added to the seal folder",
       [](const TestApp& a) { writeFile(a.appURL / "Contents/_CodeSignature/Other", "x"); },
       Status::kSealBroken},
      {"an empty file added",
       [](const TestApp& a) { writeFile(a.appURL / "Contents/MacOS/helper", ""); },
       Status::kSealBroken},
      {"a file removed",
       [](const TestApp& a) { fs::remove(a.appURL / "Contents/MacOS/Bramlow for Safari"); },
       Status::kSealBroken},
      {"a file replaced by a folder",
       [](const TestApp& a) {
         fs::remove(a.appURL / "Contents/MacOS/Bramlow for Safari");
         fs::create_directories(a.appURL / "Contents/MacOS/Bramlow for Safari");
       },
       Status::kSealBroken},
      {"a symbolic link retargeted",
       [](const TestApp& a) {
         fs::remove(a.appURL / "Contents/Resources/info-link");
         fs::create_symlink("../MacOS", a.appURL / "Contents/Resources/info-link");
       },
       Status::kSealBroken},
      {"a sealed file replaced by a link to itself",
       [](const TestApp& a) {
         const fs::path file = a.appURL / "Contents/Info.plist";
         fs::rename(file, a.appURL / "Info.plist");
         fs::create_symlink("../Info.plist", file);
       },
       Status::kSealBroken},
      {"a fifo added",
       [](const TestApp& a) {
         ASSERT_EQ(::mkfifo((a.appURL / "Contents/Resources/pipe").c_str(), 0600), 0);
       },
       Status::kSealBroken},
      {"a nested file changed",
       [](const TestApp& a) { writeFile(a.updaterURL / "Contents/Resources/policy.json", "{}"); },
       Status::kNestedCodeInvalid},
      {"a nested file added",
       [](const TestApp& a) { writeFile(a.extensionURL / "Contents/Resources/more.js", "1"); },
       Status::kNestedCodeInvalid},
      {"nested code unsigned",
       [](const TestApp& a) { fs::remove_all(a.updaterURL / "Contents/_CodeSignature"); },
       Status::kNestedCodeInvalid},
      {"an unsigned nested bundle added",
       [](const TestApp& a) {
         writeFile(a.appURL / "Contents/PlugIns/Other.appex/Contents/Info.plist", "x");
       },
       Status::kSealBroken},
      {"nested code re-signed by another team",
       [](const TestApp& a) { resign(a.extensionURL, release::kOtherTeamIdentity); },
       Status::kNestedCodeInvalid},
      {"nested code replaced by another signed bundle",
       [](const TestApp& a) {
         const fs::path other = a.appURL.parent_path() / "other";
         const TestApp donor = makeTestApp(other);
         signApp(donor, identityFile(release::kDeveloperIdIdentity));
         fs::remove_all(a.extensionURL);
         fs::rename(donor.extensionURL, a.extensionURL);
       },
       Status::kNestedCodeInvalid},
      {"signature truncated",
       [](const TestApp& a) {
         const fs::path file = a.appURL / "Contents/_CodeSignature/CodeSignature";
         fs::resize_file(file, fs::file_size(file) / 2);
       },
       Status::kSignatureInvalid},
      {"signature emptied",
       [](const TestApp& a) { writeFile(a.appURL / "Contents/_CodeSignature/CodeSignature", ""); },
       Status::kSignatureInvalid},
      {"signature corrupted",
       [](const TestApp& a) {
         const fs::path file = a.appURL / "Contents/_CodeSignature/CodeSignature";
         flipByte(file, fs::file_size(file) - 20);
       },
       Status::kSignatureInvalid},
      {"seal edited",
       [](const TestApp& a) {
         const fs::path file = a.appURL / "Contents/_CodeSignature/CodeResources";
         std::string seal = readFile(file);
         seal.insert(seal.find("<dict>") + 6, "<key>x</key><string>y</string>");
         writeFile(file, seal);
       },
       Status::kSignatureInvalid},
      {"signature removed",
       [](const TestApp& a) { fs::remove(a.appURL / "Contents/_CodeSignature/CodeSignature"); },
       Status::kSignatureInvalid},
      {"seal folder removed",
       [](const TestApp& a) { fs::remove_all(a.appURL / "Contents/_CodeSignature"); },
       Status::kUnsigned},
      {"seal folder is a link to a valid seal",
       [](const TestApp& a) {
         fs::rename(a.appURL / "Contents/_CodeSignature", a.appURL.parent_path() / "seal");
         fs::create_symlink("../../seal", a.appURL / "Contents/_CodeSignature");
       },
       Status::kUnsigned},
  };
  int index = 0;
  for (const Row& row : rows) {
    const TestApp app = signedApp("case" + std::to_string(index++));
    ASSERT_EQ(check(app.appURL), Status::kSuccess) << row.name;
    row.tamper(app);
    EXPECT_EQ(check(app.appURL), row.expected) << row.name;
  }
}

TEST_F(CodeSigningTest, SymbolicLinksMustStayInsideTheBundle) {
  struct Row {
    const char* name;
    const char* link;  // below Contents/Resources
    const char* target;
    bool valid;
  };
  const Row rows[] = {
      {"sibling", "a", "../Info.plist", true},
      {"to the bundle folder itself", "b", "../..", true},
      {"dangling but inside", "c", "missing/file", true},
      {"one level too far", "d", "../../..", false},
      {"absolute", "e", "/etc/passwd", false},
      {"dangling outside", "f", "../../../nowhere", false},
      {"through a link that climbs", "g", "up/../..", false},
      {"into a nested bundle and out again", "h",
       "../PlugIns/Bramlow for Safari Extension.appex/../../../..", false},
      // Only resolving for real shows this one: the nested link climbs out of its own bundle's
      // Contents, so the outer path climbs two levels further than it reads.
      {"through a nested bundle's link", "i",
       "../PlugIns/Bramlow for Safari Extension.appex/Contents/up/../../../..", false},
  };
  for (const Row& row : rows) {
    const TestApp app = makeTestApp(dir_.path() / (std::string("links-") + row.link));
    const fs::path resources = app.appURL / "Contents/Resources";
    fs::create_directories(resources);
    fs::create_symlink("..", resources / "up");
    fs::create_symlink("..", app.extensionURL / "Contents/up");
    fs::create_symlink(row.target, resources / row.link);
    signApp(app, identityFile(release::kDeveloperIdIdentity));
    EXPECT_EQ(check(app.appURL), row.valid ? Status::kSuccess : Status::kSymlinkEscapes)
        << row.name;
    // Only strict validation asks where links lead.
    EXPECT_EQ(check(app.appURL, {}, codesign::kCheckNestedCode), Status::kSuccess) << row.name;
  }
}

TEST_F(CodeSigningTest, OnlyTheTrustedDeveloperIdOfTheTeamSatisfiesTheRequirement) {
  const std::string requirement = std::string("identifier \"") + kAppID +
                                  "\" and anchor apple generic and certificate "
                                  "leaf[subject.OU] = \"" +
                                  kTeam +
                                  "\" and certificate 1[field.1.2.840.113635.100.6.2.6] exists "
                                  "and certificate leaf[field.1.2.840.113635.100.6.1.13] exists";
  struct Row {
    const char* identity;
    Status valid;        // without a requirement
    Status withProduct;  // with the product's requirement
  };
  const Row rows[] = {
      {release::kDeveloperIdIdentity, Status::kSuccess, Status::kSuccess},
      {release::kOtherTeamIdentity, Status::kSuccess, Status::kRequirementUnsatisfied},
      {release::kDevelopmentIdentity, Status::kSuccess, Status::kRequirementUnsatisfied},
      {release::kSelfSignedIdentity, Status::kUntrusted, Status::kUntrusted},
      {release::kOtherRootIdentity, Status::kUntrusted, Status::kUntrusted},
  };
  for (const Row& row : rows) {
    const TestApp app = signedApp(row.identity, row.identity);
    EXPECT_EQ(check(app.appURL), row.valid) << row.identity;
    EXPECT_EQ(check(app.appURL, requirement), row.withProduct) << row.identity;
  }
}

TEST_F(CodeSigningTest, RequirementClausesAreJudgedOnTheChain) {
  const TestApp app = signedApp("app");
  struct Row {
    const char* text;
    bool satisfied;
  };
  const Row rows[] = {
      {"identifier \"com.bramlow.safari-extension\"", true},
      {"identifier \"com.bramlow.safari-extension.Updater\"", false},
      {"identifier \"\"", false},
      {"certificate root[subject.CN] = \"Test Code Signing Root CA\"", true},
      {"certificate 2[subject.CN] = \"Test Code Signing Root CA\"", true},
      {"certificate 1[subject.OU] = \"Test Certification Authority\"", true},
      {"certificate leaf[subject.OU] = \"TESTTEAM0\"", false},
      {"certificate leaf[subject.OU] = \"TESTTEAM01 \"", false},
      {"certificate 3[subject.CN] exists", false},
      {"certificate leaf[field.1.2.840.113635.100.6.2.6] exists", false},
      {"certificate 1[field.1.2.840.113635.100.6.1.13] exists", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(check(app.appURL, row.text),
              row.satisfied ? Status::kSuccess : Status::kRequirementUnsatisfied)
        << row.text;
  }
}

TEST_F(CodeSigningTest, WithoutTrustAnchorsNothingIsValid) {
  const TestApp app = signedApp("app");
  fs::remove(codesign::trustAnchorsPath());
  EXPECT_EQ(check(app.appURL), Status::kUntrusted);
}

TEST_F(CodeSigningTest, WhatIsNotCode) {
  EXPECT_EQ(check(dir_.path() / "missing"), Status::kNoCode);
  fs::create_directories(dir_.path() / "plain-folder");
  EXPECT_EQ(check(dir_.path() / "plain-folder"), Status::kNoCode);
  const TestApp unsigned_ = makeTestApp(dir_.path() / "unsigned");
  EXPECT_EQ(check(unsigned_.appURL), Status::kUnsigned);
  writeFile(dir_.path() / "plain-file", "not signed");
  EXPECT_EQ(check(dir_.path() / "plain-file"), Status::kUnsigned);
}

TEST_F(CodeSigningTest, SigningRefusesWhatCannotBeSealed) {
  const codesign::SigningIdentity identity =
      codesign::SigningIdentity::load(identityFile(release::kDeveloperIdIdentity));
  const TestApp unsignedNested = makeTestApp(dir_.path() / "nested");
  EXPECT_THROW(codesign::sign(unsignedNested.appURL, identity, std::nullopt),
               codesign::CodeSigningError);
  const TestApp badName = makeTestApp(dir_.path() / "name");
  writeFile(badName.updaterURL / "Contents/Resources/bad\x01name", "x");
  EXPECT_THROW(codesign::sign(badName.updaterURL, identity, std::nullopt),
               codesign::CodeSigningError);
  writeFile(dir_.path() / "image", "content");
  EXPECT_THROW(codesign::sign(dir_.path() / "image", identity, std::nullopt),
               codesign::CodeSigningError);
  EXPECT_THROW(codesign::SigningIdentity::load(identityFile(release::kAnchorsFile)),
               codesign::CodeSigningError);
}

class SignedImageTest : public CodeSigningTest {
 protected:
  fs::path signedImage(const std::string& name, std::string content = std::string(300000, 'i')) {
    const fs::path image = dir_.path() / name;
    for (std::size_t i = 0; i < content.size(); i += 997) content[i] = static_cast<char>(i);
    writeFile(image, content);
    codesign::sign(image,
                   codesign::SigningIdentity::load(identityFile(release::kDeveloperIdIdentity)),
                   "com.example.image");
    return image;
  }
};

TEST_F(SignedImageTest, SignedImageIsValidAndKeepsItsContent) {
  const fs::path image = signedImage("a.dmg");
  EXPECT_EQ(check(image), Status::kSuccess);
  EXPECT_EQ(codesign::flatFileContentLength(image), 300000u);
  EXPECT_GT(fs::file_size(image), 300000u);
  // Signing again replaces the signature instead of signing the old one.
  codesign::sign(image, codesign::SigningIdentity::load(identityFile(release::kOtherTeamIdentity)),
                 "com.example.other");
  EXPECT_EQ(codesign::flatFileContentLength(image), 300000u);
  const auto info = codesign::StaticCode::createWithPath(image).signingInformation();
  EXPECT_FALSE(info.isBundle);
  EXPECT_EQ(info.identifier, "com.example.other");
  EXPECT_EQ(info.team, release::otherTeamFor(kTeam));
  EXPECT_EQ(check(image), Status::kSuccess);
}

TEST_F(SignedImageTest, EveryTamperingIsRefused) {
  auto trailerLengthAt = [](const fs::path& image) { return fs::file_size(image) - 16; };
  struct Row {
    const char* name;
    std::function<void(const fs::path&)> tamper;
    Status expected;
  };
  const Row rows[] = {
      {"first byte changed", [](const fs::path& p) { flipByte(p, 0); }, Status::kSealBroken},
      {"last content byte changed", [](const fs::path& p) { flipByte(p, 299999); },
       Status::kSealBroken},
      {"byte appended", [](const fs::path& p) { writeFile(p, readFile(p) + "x"); },
       Status::kUnsigned},
      {"trailer cut short", [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) - 1); },
       Status::kUnsigned},
      {"signature corrupted", [&](const fs::path& p) { flipByte(p, trailerLengthAt(p) - 40); },
       Status::kSignatureInvalid},
      {"length larger than the file",
       [&](const fs::path& p) { flipByte(p, trailerLengthAt(p) + 5); }, Status::kSignatureInvalid},
      {"length of zero",
       [&](const fs::path& p) {
         std::string bytes = readFile(p);
         for (std::size_t i = 0; i < 8; ++i) bytes[trailerLengthAt(p) + i] = 0;
         writeFile(p, bytes);
       },
       Status::kSignatureInvalid},
      {"content cut, signature moved up",
       [](const fs::path& p) {
         std::string bytes = readFile(p);
         bytes.erase(100, 1);
         writeFile(p, bytes);
       },
       Status::kSignatureInvalid},
  };
  int index = 0;
  for (const Row& row : rows) {
    const fs::path image = signedImage("case" + std::to_string(index++) + ".dmg");
    ASSERT_EQ(check(image), Status::kSuccess) << row.name;
    row.tamper(image);
    EXPECT_EQ(check(image), row.expected) << row.name;
  }
}

TEST_F(SignedImageTest, IdentitiesOtherThanTheTrustedOnesAreUntrusted) {
  for (const char* identity : {release::kSelfSignedIdentity, release::kOtherRootIdentity}) {
    const fs::path image = dir_.path() / (std::string(identity) + ".dmg");
    writeFile(image, "content");
    codesign::sign(image, codesign::SigningIdentity::load(identityFile(identity)), "id");
    EXPECT_EQ(check(image), Status::kUntrusted) << identity;
  }
}

}  // namespace
