// Between the parts of the code-signing stand-in only.
#pragma once

#include <openssl/obj_mac.h>
#include <openssl/x509.h>

#include <string>
#include <utility>
#include <vector>

namespace platform::codesign {

// The subject attributes a requirement can name: subject.CN, O, OU, C, L and ST.
inline constexpr int kRequirementSubjectNids[] = {
    NID_commonName,  NID_organizationName, NID_organizationalUnitName,
    NID_countryName, NID_localityName,     NID_stateOrProvinceName};

// What a requirement can ask of one certificate, read out of it once, so that the outcome of a
// verification can be kept and judged again without the certificate.
struct CertificateFacts {
  std::vector<std::pair<int, std::string>> subject;  // (NID, UTF-8 value): the first of each
                                                     // attribute above that the subject holds
  std::vector<std::string> extensions;               // the extensions' object identifiers, dotted
  bool operator==(const CertificateFacts&) const = default;
};

// What a validated signature shows, for a requirement to judge.
struct SignerFacts {
  std::string identifier;
  bool anchored = false;                // the chain ends at a trust anchor
  std::vector<CertificateFacts> chain;  // leaf first, then its issuers
  bool operator==(const SignerFacts&) const = default;
};

// An object identifier in dotted form ("1.2.840..."), never a name; empty when it has none.
std::string dottedObjectIdentifier(const ASN1_OBJECT* object);

// The facts of one certificate.
CertificateFacts certificateFacts(const X509* certificate);

}  // namespace platform::codesign
