// Signing and static validation of real bundles and flat files on disk, what each kind of
// tampering turns into, hand-made signatures that attack the checker, and requirement texts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <vector>

#include "platform/codesign/CodeSigning.h"
#include "shared/UpdateSecurity.h"
#include "tests/security/SigningTestSupport.h"

namespace {
namespace fs = std::filesystem;
namespace codesign = platform::codesign;
namespace release = bramlow::release;
using enum codesign::Status;
using codesign::Status;
using namespace testing_support;

const std::string kExtension = "Contents/PlugIns/Bramlow for Safari Extension.appex/";
const std::string kUpdater = kExtension + "Contents/XPCServices/BramlowUpdater.xpc/";
const std::string kMain = "Contents/MacOS/Bramlow for Safari";
const std::string kSignature = "Contents/_CodeSignature/CodeSignature";

// Changes to signed code, given the bundle or the flat file (whose file is "").
fs::path at(const fs::path& code, const std::string& file) {
  return file.empty() ? code : code / file;
}
using Tamper = std::function<void(const fs::path&)>;
Tamper put(const std::string& file, const std::string& content = "x") {
  return [=](const fs::path& code) { writeFile(code / file, content); };
}
Tamper erase(const std::string& file) {
  return [=](const fs::path& code) { fs::remove_all(code / file); };
}
Tamper append(const std::string& file, const std::string& bytes) {
  return [=](const fs::path& code) { writeFile(at(code, file), readFile(at(code, file)) + bytes); };
}
// Puts a link to target in path's place, after moving what was there to movedTo when given.
Tamper link(const std::string& path, const std::string& target, const std::string& movedTo = {}) {
  return [=](const fs::path& code) {
    movedTo.empty() ? void(fs::remove(code / path)) : fs::rename(code / path, code / movedTo);
    fs::create_symlink(target, code / path);
  };
}
// Flips one byte; a negative offset counts from the end.
Tamper flip(const std::string& file, std::ptrdiff_t offset) {
  return [=](const fs::path& code) {
    std::string bytes = readFile(at(code, file));
    char& byte = bytes.at(offset < 0 ? bytes.size() - std::size_t(-offset) : std::size_t(offset));
    byte = static_cast<char>(byte ^ 0x5a);
    writeFile(at(code, file), bytes);
  };
}

class CodeSigningTest : public SigningTest {
 protected:
  // A signed test application in a folder of its own, with a symbolic link among its resources.
  TestApp signedApp(const std::string& folder) {
    TestApp app = makeTestApp(dir_.path() / folder);
    fs::create_directories(app.appURL / "Contents/Resources");
    fs::create_symlink("../Info.plist", app.appURL / "Contents/Resources/info-link");
    fs::create_directories(app.appURL / "Contents/Resources/empty");
    signApp(app);
    return app;
  }
  // A signed flat file of 300000 bytes, as a disk image is signed.
  fs::path signedImage(const std::string& name,
                       const char* identity = release::kDeveloperIdIdentity) {
    const fs::path image = dir_.path() / name;
    writeFile(image, std::string(300000, 'i'));
    signWith(image, identity, kAppID);
    return image;
  }
};

TEST_F(CodeSigningTest, EveryTamperingIsRefused) {
  const struct {
    const char* name;
    Tamper tamper;
    Status expected;
    bool image = false;  // a signed flat file instead of a bundle
  } rows[] = {
      {"a byte changed", flip("Contents/Info.plist", 10), kSealBroken},
      {"a file added", put("Contents/Resources/extra.json"), kSealBroken},
      {"a file added beside Contents", put("README"), kSealBroken},
      {"a file added to the seal folder", put("Contents/_CodeSignature/Other"), kSealBroken},
      {"empty folders added",
       [](const fs::path& a) { fs::create_directories(a / "Contents/Resources/added/deeper"); },
       kSealBroken},
      {"an empty sealed folder removed", erase("Contents/Resources/empty"), kSealBroken},
      {"a file removed", erase(kMain), kSealBroken},
      {"a symbolic link retargeted", link("Contents/Resources/info-link", "../MacOS"), kSealBroken},
      {"a sealed file replaced by a link to itself",
       link("Contents/Info.plist", "../Info.plist", "Info.plist"), kSealBroken},
      {"a fifo added",
       [](const fs::path& a) { ASSERT_EQ(::mkfifo((a / "Contents/pipe").c_str(), 0600), 0); },
       kSealBroken},
      {"a nested file changed", put(kUpdater + "Contents/Resources/policy.json", "{}"),
       kNestedCodeInvalid},
      {"nested code unsigned", erase(kUpdater + "Contents/_CodeSignature"), kNestedCodeInvalid},
      {"nested code re-signed by another team",
       [](const fs::path& a) { signWith(a / kExtension, release::kOtherTeamIdentity); },
       kNestedCodeInvalid},
      {"nested code replaced by another signed bundle",
       [](const fs::path& a) {
         const TestApp donor = makeTestApp(a.parent_path() / "other");
         signApp(donor);
         fs::remove_all(a / kExtension);
         fs::rename(donor.extensionURL, a / kExtension);
       },
       kNestedCodeInvalid},
      {"signature corrupted", flip(kSignature, -20), kSignatureInvalid},
      {"bytes after the signature", append(kSignature, std::string(1, '\0')), kSignatureInvalid},
      {"seal edited",
       [](const fs::path& a) {
         const fs::path file = a / "Contents/_CodeSignature/CodeResources";
         std::string seal = readFile(file);
         writeFile(file, seal.insert(seal.find("<dict>") + 6, "<key>x</key><string>y</string>"));
       },
       kSignatureInvalid},
      {"signature removed", erase(kSignature), kSignatureInvalid},
      {"seal folder removed", erase("Contents/_CodeSignature"), kUnsigned},
      {"seal folder is a link to a valid seal",
       link("Contents/_CodeSignature", "../../seal", "../seal"), kUnsigned},
      // The trailer: signature, then its length in 8 bytes, then an 8-byte magic.
      {"image: last content byte changed", flip("", 299999), kSealBroken, true},
      {"image: byte appended", append("", "x"), kUnsigned, true},
      {"image: removed", [](const fs::path& p) { fs::remove(p); }, kNoCode, true},
      {"image: signature corrupted", flip("", -56), kSignatureInvalid, true},
      {"image: length larger than the file", flip("", -11), kSignatureInvalid, true},
      {"image: signature starting inside the trailer",
       [](const fs::path& p) {
         std::string bytes = readFile(p);
         const std::uint64_t length = bytes.size() - 8;
         writeFile(p,
                   bytes.replace(bytes.size() - 16, 8, reinterpret_cast<const char*>(&length), 8));
       },
       kSignatureInvalid, true},
      {"image: content cut, signature moved up",
       [](const fs::path& p) { writeFile(p, readFile(p).erase(100, 1)); }, kSignatureInvalid, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // Valid with its nested code before the change.
    const fs::path code = row.image ? signedImage(row.name) : signedApp(row.name).appURL;
    ASSERT_EQ(checkStatus(code), kSuccess);
    row.tamper(code);
    EXPECT_EQ(checkStatus(code), row.expected);
  }
}

TEST_F(CodeSigningTest, SymbolicLinksMustStayInsideTheBundle) {
  const struct {
    const char* name;
    const char* target;  // of a link in Contents/Resources
    bool valid;
  } rows[] = {
      {"to the bundle folder itself", "../..", true},
      {"one level too far", "../../..", false},
      {"absolute", "/etc/passwd", false},
      {"through a link that climbs", "up/../..", false},
      // Only resolving for real shows this one: the nested link climbs out of its own bundle's
      // Contents, so the outer path climbs two levels further than it reads.
      {"through a nested bundle's link",
       "../PlugIns/Bramlow for Safari Extension.appex/Contents/up/../../../..", false},
  };
  for (const auto& row : rows) {
    const TestApp app = makeTestApp(dir_.path() / row.name);
    const fs::path resources = app.appURL / "Contents/Resources";
    fs::create_directories(resources);
    fs::create_symlink("..", resources / "up");
    fs::create_symlink("..", app.extensionURL / "Contents/up");
    fs::create_symlink(row.target, resources / "link");
    signApp(app);
    EXPECT_EQ(checkStatus(app.appURL), row.valid ? kSuccess : kSymlinkEscapes) << row.name;
    // Only strict validation asks where links lead.
    EXPECT_EQ(checkStatus(app.appURL, {}, codesign::kCheckNestedCode), kSuccess) << row.name;
  }
}

// The chain and the requirement are judged on flat files, which share them with bundles.
TEST_F(CodeSigningTest, OnlyTheTrustedDeveloperIdOfTheTeamSatisfiesTheRequirement) {
  const std::string requirement = bramlow::UpdateSecurity::requirementText(kAppID, kTeam);
  const struct {
    const char* identity;
    Status valid;        // without a requirement
    Status withProduct;  // with the product's requirement
  } rows[] = {
      {release::kDeveloperIdIdentity, kSuccess, kSuccess},
      {release::kOtherTeamIdentity, kSuccess, kRequirementUnsatisfied},
      {release::kDevelopmentIdentity, kSuccess, kRequirementUnsatisfied},
      {release::kSelfSignedIdentity, kUntrusted, kUntrusted},
      {release::kOtherRootIdentity, kUntrusted, kUntrusted},
  };
  for (const auto& row : rows) {
    const fs::path image = signedImage(row.identity, row.identity);
    EXPECT_EQ(checkStatus(image), row.valid) << row.identity;
    EXPECT_EQ(checkStatus(image, requirement), row.withProduct) << row.identity;
  }
  const fs::path image = signedImage("clauses.dmg");
  // The requirement language is a narrow subset: anything else is refused, never read loosely.
  const std::pair<std::string, Status> clauses[] = {
      {"identifier \"com.bramlow.safari-extension\"", kSuccess},
      {"identifier \"com.bramlow.safari-extension.Updater\"", kRequirementUnsatisfied},
      {"certificate 1[subject.OU] = \"Test Certification Authority\"", kSuccess},
      {"certificate leaf[subject.OU] = \"TESTTEAM0\"", kRequirementUnsatisfied},
      {"certificate 1[field.1.2.840.113635.100.6.1.13] exists", kRequirementUnsatisfied},
      {"anchor\napple\tgeneric and\r\nidentifier \"com.bramlow.safari-extension\"", kSuccess},
      {"identifier \"abc", kRequirementSyntax},
      {"anchor apple generic and", kRequirementSyntax},
      {"identifier \"a\" or identifier \"b\"", kRequirementSyntax},
      {"anchor trusted", kRequirementSyntax},
      {"identifier com.example", kRequirementSyntax},
      {"certificate leaf[field.1.2.3] = \"x\"", kRequirementSyntax},
      {"certificate leaf[subject.XX] = \"x\"", kRequirementSyntax},
      {"certificate 999[subject.CN] exists", kRequirementSyntax},
      {std::string("identifier \"a\0b\"", 16), kRequirementSyntax},
  };
  for (const auto& [text, status] : clauses) EXPECT_EQ(checkStatus(image, text), status) << text;
  fs::remove(codesign::trustAnchorsPath());
  EXPECT_EQ(checkStatus(image), kUntrusted) << "without trust anchors nothing is valid";
}

// The seal is read before anyone trusts its signer, and the list reader recurses once per level:
// a trusted signature over a seal nested without end, hidden behind comments, is still refused.
TEST_F(CodeSigningTest, DeeplyNestedSealIsRefused) {
  std::string list = "<plist version=\"1.0\">";
  for (int i = 0; i < 300000; ++i) list += "<array><!-- </array> -->";
  const fs::path bundle = dir_.path() / "deep.app";
  writeFile(bundle / "Contents/_CodeSignature/CodeResources", list);
  writeFile(bundle / kSignature, cmsSign(release::kDeveloperIdIdentity, list));
  EXPECT_EQ(checkStatus(bundle), kSignatureInvalid);
}

// A chain of validly signed bundles, each in the previous one's Contents/PlugIns: deep nesting is
// refused with a status, not followed until the stack runs out.
TEST_F(CodeSigningTest, CodeNestedWithoutEndIsRefused) {
  std::vector<fs::path> bundles{dir_.path() / "Outer.app"};
  for (int level = 1; level < 40; ++level) {
    bundles.push_back(bundles.back() / "Contents/PlugIns" /
                      ("L" + std::to_string(level) + ".appex"));
  }
  for (std::size_t i = bundles.size(); i-- > 0;) {
    writeInfoPlist(bundles[i], {{"CFBundleIdentifier", "com.example.level" + std::to_string(i)}});
    writeFile(bundles[i] / "Contents/MacOS/main", "#!level\n");
    signWith(bundles[i], release::kDeveloperIdIdentity);
  }
  EXPECT_EQ(checkStatus(bundles[bundles.size() - 3]), kSuccess);
  EXPECT_EQ(checkStatus(bundles.front()), kNestedCodeInvalid);
}

}  // namespace
