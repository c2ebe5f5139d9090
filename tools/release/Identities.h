// Test signing identities for one team: a code-signing root to trust, the Developer ID chain that
// releases are signed with, the identities a release must be refused with, and a TLS pair for a
// local update server. For tests and demonstrations only: nothing here is kept secret.
#pragma once

#include <filesystem>
#include <string>

namespace bramlow::release {

// The files writeTestIdentities makes in its folder. Identity files hold the private key, the leaf
// certificate and its intermediate, in that order (PEM).
inline constexpr const char* kDeveloperIdIdentity = "developer-id.pem";
inline constexpr const char* kDevelopmentIdentity = "development.pem";  // no Developer ID markers
inline constexpr const char* kOtherTeamIdentity = "other-team.pem";    // Developer ID, another team
inline constexpr const char* kSelfSignedIdentity = "self-signed.pem";  // markers, but no chain
inline constexpr const char* kOtherRootIdentity = "other-root.pem";    // Developer ID, other root
inline constexpr const char* kAnchorsFile = "anchors.pem";             // the root to trust
inline constexpr const char* kTlsCaFile = "tls-ca.pem";                // the TLS root certificate
inline constexpr const char* kTlsServerFile = "tls-server.pem";  // key and certificate, loopback

// The team that other-team.pem is issued to (a different one when team is this very name).
std::string otherTeamFor(const std::string& team);

// Makes the folder when needed and writes every file above, keys with mode 0600. Throws
// std::runtime_error on failure.
void writeTestIdentities(const std::string& team, const std::filesystem::path& folder);

}  // namespace bramlow::release
