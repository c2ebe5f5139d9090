// Signing and static validation of real bundles and flat files on disk, what each kind of
// tampering turns into, hand-made signatures that attack the checker, and requirement texts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <iterator>
#include <vector>

#include "platform/CodeSigning.h"
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
Tamper folder(const std::string& path) {
  return [=](const fs::path& code) { fs::create_directories(code / path); };
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
                       const char* identity = release::kDeveloperIdIdentity,
                       const std::string& identifier = kAppID) {
    const fs::path image = dir_.path() / name;
    std::string content(300000, 'i');
    for (std::size_t i = 0; i < content.size(); i += 997) content[i] = static_cast<char>(i);
    writeFile(image, content);
    signWith(image, identity, identifier);
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
      {"empty folders added", folder("Contents/Resources/added/deeper"), kSealBroken},
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
  int index = 0;
  for (const auto& row : rows) {
    // Valid with its nested code before the change.
    const std::string name = "case" + std::to_string(index++);
    const fs::path code = row.image ? signedImage(name + ".dmg") : signedApp(name).appURL;
    ASSERT_EQ(checkStatus(code), kSuccess) << row.name;
    row.tamper(code);
    EXPECT_EQ(checkStatus(code), row.expected) << row.name;
  }
}

// Sealed files are hashed on several threads, yet a check must report what one thread would: the
// first failure in the walk's order (the folder's listing order), and leave no thread or
// descriptor behind.
TEST_F(CodeSigningTest, ManyFilesFailInTheWalksOrderAndLeaveNothingBehind) {
  const TestApp app = makeTestApp(dir_.path() / "many");
  const fs::path many = app.appURL / "Contents/Resources/many";
  fs::create_directories(many);
  for (std::size_t i = 0; i < 200; ++i)
    writeFile(many / std::to_string(i), std::string(i * 331, 'm'));
  signApp(app);
  const std::vector<fs::path> files(fs::directory_iterator(many), {});
  const auto entries = [](const char* folder) {
    return std::distance(fs::directory_iterator(folder), {});
  };
  const auto fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
  const auto failure = [&] {
    try {
      codesign::StaticCode::createWithPath(app.appURL)
          .checkValidity(codesign::kCheckNestedCode | codesign::kStrictValidate, nullptr);
    } catch (const codesign::CodeSigningError& error) {
      return std::string(error.what());
    }
    return std::string();
  };
  const std::string modified = "a sealed resource is modified: Contents/Resources/many/";
  EXPECT_EQ(failure(), "");
  for (const fs::path& file : files) writeFile(file, "changed");
  EXPECT_EQ(failure(), modified + files.front().filename().string());
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(entries("/proc/self/task"), threads);
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
  int index = 0;
  for (const auto& row : rows) {
    const TestApp app = makeTestApp(dir_.path() / ("links" + std::to_string(index++)));
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

// The requirement language is a narrow subset: anything else is refused, never read loosely.
TEST(RequirementCompile, AcceptsTheSubsetAndNothingElse) {
  EXPECT_NO_THROW(codesign::Requirement::compile("anchor\napple\tgeneric and\r\nidentifier \"x\""));
  const std::pair<const char*, std::string> refused[] = {
      {"unterminated string", "identifier \"abc"},
      {"trailing and", "anchor apple generic and"},
      {"or is not part of the language", "identifier \"a\" or identifier \"b\""},
      {"other anchor", "anchor trusted"},
      {"unquoted identifier", "identifier com.example"},
      {"value for an extension", "certificate leaf[field.1.2.3] = \"x\""},
      {"unknown subject field", "certificate leaf[subject.XX] = \"x\""},
      {"index too large", "certificate 999[subject.CN] exists"},
      {"NUL inside a string", std::string("identifier \"a\0b\"", 16)},
  };
  for (const auto& [name, text] : refused) {
    try {
      codesign::Requirement::compile(text);
      ADD_FAILURE() << name;
    } catch (const codesign::CodeSigningError& error) {
      EXPECT_EQ(error.status(), kRequirementSyntax) << name;
    }
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
  const std::pair<const char*, bool> clauses[] = {
      {"identifier \"com.bramlow.safari-extension\"", true},
      {"identifier \"com.bramlow.safari-extension.Updater\"", false},
      {"certificate root[subject.CN] = \"Test Code Signing Root CA\"", true},
      {"certificate 1[subject.OU] = \"Test Certification Authority\"", true},
      {"certificate leaf[subject.OU] = \"TESTTEAM0\"", false},
      {"certificate 3[subject.CN] exists", false},
      {"certificate 1[field.1.2.840.113635.100.6.1.13] exists", false},
  };
  for (const auto& [text, satisfied] : clauses) {
    EXPECT_EQ(checkStatus(image, text), satisfied ? kSuccess : kRequirementUnsatisfied) << text;
  }
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
  for (std::size_t i = 0; i < bundles.size(); ++i) {
    writeInfoPlist(bundles[i], {{"CFBundleIdentifier", "com.example.level" + std::to_string(i)}});
    writeFile(bundles[i] / "Contents/MacOS/main", "#!level\n");
  }
  for (auto it = bundles.rbegin(); it != bundles.rend(); ++it) {
    signWith(*it, release::kDeveloperIdIdentity);
  }
  EXPECT_EQ(checkStatus(bundles[bundles.size() - 3]), kSuccess);
  EXPECT_EQ(checkStatus(bundles.front()), kNestedCodeInvalid);
}

}  // namespace
