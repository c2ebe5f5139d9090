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

// A TLS root certificate and a server identity it issued, as PEM text.
struct TlsIdentity {
  std::string caCertificate;            // the root certificate
  std::string serverKeyAndCertificate;  // the server's private key, then its certificate
};

// Makes a new TLS root and a server certificate for serverNames, subject alternative names as
// OpenSSL writes them ("IP:127.0.0.1,DNS:localhost"); the first name is also the server's common
// name. Throws std::runtime_error on failure.
TlsIdentity makeTlsIdentity(const std::string& serverNames);

// Makes the folder when needed and writes every file above, keys with mode 0600. Throws
// std::runtime_error on failure.
void writeTestIdentities(const std::string& team, const std::filesystem::path& folder);

}  // namespace bramlow::release
