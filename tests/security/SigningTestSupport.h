// Signing helpers shared by the code-signing tests: identities made once per test binary, a
// platform root that trusts them, and a test application signed inside out.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/codesign/CodeSigning.h"
#include "tests/support/TestSupport.h"
#include "tools/release/Identities.h"

namespace platform::codesign {
// Statuses by number in test failure messages.
inline void PrintTo(Status status, std::ostream* out) { *out << static_cast<int>(status); }
}  // namespace platform::codesign

namespace testing_support {

// The folder of bramlow-release's test identities for kTeam, made on first use and removed when
// the test binary ends.
const std::filesystem::path& identitiesFolder();
inline std::filesystem::path identityFile(const char* name) { return identitiesFolder() / name; }

// Copies anchors.pem to <root>/System/Library/Security/.
void installAnchors(const std::filesystem::path& root);

// Signs a bundle or a flat file (which needs an identifier) with one of the test identities.
void signWith(const std::filesystem::path& code, const char* identity,
              const std::optional<std::string>& identifier = std::nullopt);

// Signs the updater, the extension and then the application with one identity.
void signApp(const TestApp& app, const char* identity = bramlow::release::kDeveloperIdIdentity);

// A detached DER CMS SignedData over content, made with an identity file's key, leaf and
// intermediates as the signing code makes it, for signatures the signing code would refuse to make.
std::string cmsSign(const char* identity, std::string_view content);

// SHA-256 fingerprint (lower-case hex) of an identity file's leaf certificate.
std::string leafFingerprint(const char* identity);

// The status a validity check of code on disk ends with (kSuccess when it passes); by default
// strict, with nested code and without a requirement.
platform::codesign::Status checkStatus(
    const std::filesystem::path& path, const std::string& requirement = {},
    platform::codesign::Flags flags = platform::codesign::kCheckAllArchitectures |
                                      platform::codesign::kCheckNestedCode |
                                      platform::codesign::kStrictValidate);

// A test folder whose platform root trusts the test identities.
class SigningTest : public ::testing::Test {
 protected:
  SigningTest() : env_(dir_.path() / "root"), scoped_(env_) { installAnchors(env_.platformRoot()); }
  TempDir dir_;
  TestEnv env_;
  platform::ScopedEnvForTesting scoped_;
};

}  // namespace testing_support
