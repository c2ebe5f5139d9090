#include "tools/release/Identities.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

#include "platform/crypto/OpenSsl.h"
#include "platform/env/Env.h"
#include "platform/env/Errors.h"

namespace bramlow::release {
namespace fs = std::filesystem;
using platform::openssl::UniquePtr;

namespace {

// The Developer ID markers: on the certification authority and on the application leaf.
constexpr const char* kDeveloperIdAuthorityMarker = "1.2.840.113635.100.6.2.6";
constexpr const char* kDeveloperIdApplicationMarker = "1.2.840.113635.100.6.1.13";

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + platform::drainOpenSslErrors());
}

UniquePtr<EVP_PKEY> newKey() {
  UniquePtr<EVP_PKEY> key(EVP_EC_gen("P-256"));
  if (!key) fail("cannot make a key");
  return key;
}

struct Subject {
  std::string commonName;
  std::string organizationalUnit;  // empty: none
  std::string organization;
};

enum class Role { kRoot, kIntermediate, kCodeSigning, kTlsServer };

struct Issued {
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> certificate;
};

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  UniquePtr<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1)
    fail("cannot add an extension");
}

// A non-critical extension whose value is DER NULL, as the markers are.
void addMarker(X509* certificate, const char* oid) {
  UniquePtr<ASN1_OBJECT> object(OBJ_txt2obj(oid, 1));
  static const unsigned char kNull[] = {0x05, 0x00};
  ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
  if (!object || !value || ASN1_OCTET_STRING_set(value, kNull, sizeof kNull) != 1) {
    ASN1_OCTET_STRING_free(value);
    fail("cannot make a marker");
  }
  UniquePtr<X509_EXTENSION> extension(
      X509_EXTENSION_create_by_OBJ(nullptr, object.get(), 0, value));
  ASN1_OCTET_STRING_free(value);
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1)
    fail("cannot add a marker");
}

// Issues a certificate for a new key; issuer == nullptr makes it self-signed.
// serverNames: the subject alternative names of a TLS server.
Issued issue(const Subject& subject, Role role, const Issued* issuer,
             const std::vector<const char*>& markers = {}, const std::string& serverNames = "") {
  Issued out{newKey(), UniquePtr<X509>(X509_new())};
  X509* certificate = out.certificate.get();
  if (!certificate || X509_set_version(certificate, X509_VERSION_3) != 1)
    fail("cannot make a certificate");
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) fail("no randomness");
  serial[0] &= 0x7f;  // positive
  UniquePtr<BIGNUM> number(BN_bin2bn(serial, sizeof serial, nullptr));
  UniquePtr<ASN1_INTEGER> serialNumber(number ? BN_to_ASN1_INTEGER(number.get(), nullptr)
                                              : nullptr);
  if (!serialNumber || X509_set_serialNumber(certificate, serialNumber.get()) != 1) fail("serial");
  X509_gmtime_adj(X509_getm_notBefore(certificate), -24L * 3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 20L * 365 * 24 * 3600);

  UniquePtr<X509_NAME> name(X509_NAME_new());
  auto add = [&](const char* field, const std::string& value) {
    if (value.empty()) return;
    if (X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()),
                                   static_cast<int>(value.size()), -1, 0) != 1) {
      fail("cannot name a certificate");
    }
  };
  add("CN", subject.commonName);
  add("OU", subject.organizationalUnit);
  add("O", subject.organization);
  add("C", "US");
  if (!name || X509_set_subject_name(certificate, name.get()) != 1 ||
      X509_set_issuer_name(certificate, issuer ? X509_get_subject_name(issuer->certificate.get())
                                               : name.get()) != 1 ||
      X509_set_pubkey(certificate, out.key.get()) != 1) {
    fail("cannot make a certificate");
  }

  X509* issuerCertificate = issuer ? issuer->certificate.get() : certificate;
  addExtension(certificate, issuerCertificate, NID_subject_key_identifier, "hash");
  addExtension(certificate, issuerCertificate, NID_authority_key_identifier, "keyid:always");
  switch (role) {
    case Role::kRoot:
      addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:TRUE");
      addExtension(certificate, issuerCertificate, NID_key_usage, "critical,keyCertSign,cRLSign");
      break;
    case Role::kIntermediate:
      addExtension(certificate, issuerCertificate, NID_basic_constraints,
                   "critical,CA:TRUE,pathlen:0");
      addExtension(certificate, issuerCertificate, NID_key_usage, "critical,keyCertSign,cRLSign");
      break;
    case Role::kCodeSigning:
      addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:FALSE");
      addExtension(certificate, issuerCertificate, NID_key_usage, "critical,digitalSignature");
      addExtension(certificate, issuerCertificate, NID_ext_key_usage, "critical,codeSigning");
      break;
    case Role::kTlsServer:
      addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:FALSE");
      addExtension(certificate, issuerCertificate, NID_key_usage, "critical,digitalSignature");
      addExtension(certificate, issuerCertificate, NID_ext_key_usage, "serverAuth");
      addExtension(certificate, issuerCertificate, NID_subject_alt_name, serverNames.c_str());
      break;
  }
  for (const char* marker : markers) addMarker(certificate, marker);
  EVP_PKEY* signingKey = issuer ? issuer->key.get() : out.key.get();
  if (X509_sign(certificate, signingKey, EVP_sha256()) <= 0) fail("cannot sign a certificate");
  return out;
}

std::string pem(const EVP_PKEY* key, const std::vector<const X509*>& certificates) {
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio) fail("out of memory");
  if (key && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    fail("cannot write a key");
  }
  for (const X509* certificate : certificates) {
    if (PEM_write_bio_X509(bio.get(), certificate) != 1) fail("cannot write a certificate");
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

void write(const fs::path& path, const std::string& text, mode_t mode) {
  platform::env().writeFileAtomically(path, text, mode);
}

void writeIdentity(const fs::path& path, const Issued& leaf, const Issued* intermediate) {
  std::vector<const X509*> chain{leaf.certificate.get()};
  if (intermediate) chain.push_back(intermediate->certificate.get());
  write(path, pem(leaf.key.get(), chain), 0600);
}

// "IP:127.0.0.1,DNS:localhost" -> "127.0.0.1".
std::string firstName(const std::string& serverNames) {
  std::string first = serverNames.substr(0, serverNames.find(','));
  const std::size_t colon = first.find(':');
  if (colon != std::string::npos) first.erase(0, colon + 1);
  return first;
}

std::string leafName(const char* kind, const std::string& team) {
  return std::string(kind) + ": Test Developer (" + team + ")";
}

}  // namespace

std::string otherTeamFor(const std::string& team) {
  return team == "OTHERTEAM9" ? "OTHERTEAM8" : "OTHERTEAM9";
}

TlsIdentity makeTlsIdentity(const std::string& serverNames) {
  const std::string commonName = firstName(serverNames);
  if (commonName.empty()) throw std::runtime_error("no TLS server name");
  const Issued root = issue({"Test TLS Root CA", "", "Test Platform"}, Role::kRoot, nullptr);
  const Issued server =
      issue({commonName, "", "Test Platform"}, Role::kTlsServer, &root, {}, serverNames);
  return {pem(nullptr, {root.certificate.get()}),
          pem(server.key.get(), {server.certificate.get()})};
}

void writeTestIdentities(const std::string& team, const fs::path& folder) {
  if (team.empty()) throw std::runtime_error("the team identifier is empty");
  platform::env().createDirectories(folder, 0755);

  const Issued root =
      issue({"Test Code Signing Root CA", "Test Certification Authority", "Test Platform"},
            Role::kRoot, nullptr);
  const Issued developerId = issue(
      {"Developer ID Certification Authority", "Test Certification Authority", "Test Platform"},
      Role::kIntermediate, &root, {kDeveloperIdAuthorityMarker});
  const Issued development = issue(
      {"Test Development Certification Authority", "Test Certification Authority", "Test Platform"},
      Role::kIntermediate, &root);

  const Issued leaf = issue({leafName("Developer ID Application", team), team, "Test Developer"},
                            Role::kCodeSigning, &developerId, {kDeveloperIdApplicationMarker});
  writeIdentity(folder / kDeveloperIdIdentity, leaf, &developerId);

  const Issued developmentLeaf = issue({leafName("Development", team), team, "Test Developer"},
                                       Role::kCodeSigning, &development);
  writeIdentity(folder / kDevelopmentIdentity, developmentLeaf, &development);

  const std::string otherTeam = otherTeamFor(team);
  const Issued otherTeamLeaf =
      issue({leafName("Developer ID Application", otherTeam), otherTeam, "Other Developer"},
            Role::kCodeSigning, &developerId, {kDeveloperIdApplicationMarker});
  writeIdentity(folder / kOtherTeamIdentity, otherTeamLeaf, &developerId);

  const Issued selfSigned =
      issue({leafName("Developer ID Application", team), team, "Test Developer"},
            Role::kCodeSigning, nullptr, {kDeveloperIdApplicationMarker});
  writeIdentity(folder / kSelfSignedIdentity, selfSigned, nullptr);

  const Issued otherRoot =
      issue({"Other Code Signing Root CA", "Other Certification Authority", "Other Platform"},
            Role::kRoot, nullptr);
  const Issued otherDeveloperId = issue(
      {"Developer ID Certification Authority", "Other Certification Authority", "Other Platform"},
      Role::kIntermediate, &otherRoot, {kDeveloperIdAuthorityMarker});
  const Issued otherRootLeaf =
      issue({leafName("Developer ID Application", team), team, "Test Developer"},
            Role::kCodeSigning, &otherDeveloperId, {kDeveloperIdApplicationMarker});
  writeIdentity(folder / kOtherRootIdentity, otherRootLeaf, &otherDeveloperId);

  write(folder / kAnchorsFile, pem(nullptr, {root.certificate.get()}), 0644);

  const TlsIdentity tls = makeTlsIdentity("DNS:localhost,IP:127.0.0.1");
  write(folder / kTlsCaFile, tls.caCertificate, 0644);
  write(folder / kTlsServerFile, tls.serverKeyAndCertificate, 0600);
}

}  // namespace bramlow::release
