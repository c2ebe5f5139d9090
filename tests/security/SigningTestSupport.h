// Signing helpers shared by the code-signing tests: identities made once per test binary, a
// platform root that trusts them, and a test application signed inside out.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>

#include "platform/CodeSigning.h"
#include "tests/support/TestSupport.h"

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

// Signs the updater, the extension and then the application with one identity.
void signApp(const TestApp& app, const std::filesystem::path& identity);

// SHA-256 fingerprint (lower-case hex) of an identity file's leaf certificate.
std::string leafFingerprint(const std::filesystem::path& identity);

}  // namespace testing_support
