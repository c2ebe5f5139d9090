// Certificates and CMS: the trust anchors, the cryptography of a signature and the chain of its
// signer, and what a signature tells about its signer. Kept apart from what is signed (seals,
// flat files) because both kinds of code share it and only it touches X.509.
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <mutex>

#include "platform/codesign/Internal.h"
#include "platform/env/Env.h"

namespace platform::codesign {

namespace {

std::string hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

UniquePtr<X509_STORE> parseAnchors(const std::string& pem) {
  UniquePtr<X509_STORE> store(X509_STORE_new());
  if (!store) raiseOpenSsl(Status::kFailed, "out of memory");
  UniquePtr<BIO> bio = memoryBio(pem);
  while (true) {
    UniquePtr<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) break;
    X509_STORE_add_cert(store.get(), certificate.get());
  }
  ERR_clear_error();  // the end of the PEM input is reported as an error
  return store;
}

std::string commonName(const X509* certificate) {
  const X509_NAME* name = X509_get_subject_name(certificate);
  const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (index < 0) return {};
  unsigned char* utf8 = nullptr;
  const int length =
      ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
  if (length < 0) return {};
  UniquePtr<unsigned char> owner(utf8);
  return std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
}

// The signer is found by issuer and serial, and the certificates a signature carries are not
// signed, so anyone could swap in another encoding of the leaf (an ECDSA signature has two) or
// another certificate of the same key. A signed attribute holding the hash of the signer's
// certificate (ESS signing-certificate-v2) pins the very certificate the signer used.
void requireBoundSigner(CMS_SignerInfo* signer, X509* leaf) {
  const int index = CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, -1);
  if (index < 0 ||
      CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, index) >= 0 ||
      CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificate, -1) >= 0) {
    raise(Status::kSignatureInvalid, "the signature does not name its signer's certificate");
  }
  const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
  if (!value || value->type != V_ASN1_SEQUENCE ||
      X509_ATTRIBUTE_count(CMS_signed_get_attr(signer, index)) != 1) {
    raise(Status::kSignatureInvalid, "the signature does not name its signer's certificate");
  }
  const unsigned char* cursor = ASN1_STRING_get0_data(value->value.sequence);
  const long length = ASN1_STRING_length(value->value.sequence);
  UniquePtr<ESS_SIGNING_CERT_V2> bound(d2i_ESS_SIGNING_CERT_V2(nullptr, &cursor, length));
  UniquePtr<STACK_OF(X509)> signerOnly(sk_X509_new_null());
  UniquePtr<X509> held = upRef(leaf);
  if (!bound || !signerOnly || !held || sk_X509_push(signerOnly.get(), held.get()) <= 0) {
    raiseOpenSsl(Status::kSignatureInvalid, "the signature does not name its signer's certificate");
  }
  (void)held.release();  // the stack frees what it holds
  if (OSSL_ESS_check_signing_certs(nullptr, bound.get(), signerOnly.get(), 1) != 1) {
    raiseOpenSsl(Status::kSignatureInvalid,
                 "the signer's certificate is not the one it signed with");
  }
}

}  // namespace

UniquePtr<BIO> memoryBio(std::string_view bytes) {
  UniquePtr<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) raiseOpenSsl(Status::kFailed, "out of memory");
  return bio;
}

std::optional<FileIdentity> trustAnchorsIdentity(const timespec& before) {
  try {
    const UniqueFd fd = env().open(trustAnchorsPath(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (::fstat(fd.get(), &info) == 0) return identityOf(fd.get(), info, before);
  } catch (const std::system_error&) {
  }
  return std::nullopt;
}

Anchors trustAnchors() {
  struct Cache {
    std::mutex mutex;
    std::optional<FileIdentity> identity;
    UniquePtr<X509_STORE> store;
  };
  static Cache& cache = *new Cache();  // never destroyed: threads may outlive main
  // Held while the file is parsed: a caller that comes meanwhile (in a new process, the first parse
  // is mostly the crypto library's start-up) waits for that store instead of parsing again.
  const std::lock_guard lock(cache.mutex);
  const timespec before = coarseNow();
  std::optional<FileIdentity> identity;
  std::string pem;
  try {
    const UniqueFd fd = env().open(trustAnchorsPath(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (::fstat(fd.get(), &info) == 0) identity = identityOf(fd.get(), info, before);
    if (identity && cache.identity == identity) {
      if (UniquePtr<X509_STORE> shared = upRef(cache.store.get())) {
        return Anchors{std::move(shared), identity};
      }
    }
    char buffer[65536];
    while (const std::size_t n = env().read(fd.get(), buffer, sizeof buffer)) pem.append(buffer, n);
  } catch (const std::system_error&) {
    return Anchors{parseAnchors({}), std::nullopt};
  }
  Anchors anchors{parseAnchors(pem), identity};
  if (identity) {
    cache.store = upRef(anchors.store.get());
    cache.identity = cache.store ? identity : std::nullopt;
  }
  return anchors;
}

std::vector<X509*> Signature::orderedChain() const {
  std::vector<X509*> out;
  if (chain) {
    for (int i = 0; i < sk_X509_num(chain.get()); ++i) out.push_back(sk_X509_value(chain.get(), i));
    return out;
  }
  X509* current = leaf.get();
  while (current && out.size() < 16) {
    out.push_back(current);
    if (X509_check_issued(current, current) == X509_V_OK) break;
    X509* issuer = nullptr;
    for (int i = 0; i < sk_X509_num(certificates.get()); ++i) {
      X509* candidate = sk_X509_value(certificates.get(), i);
      if (candidate != current && X509_check_issued(candidate, current) == X509_V_OK) {
        issuer = candidate;
        break;
      }
    }
    current = issuer;
  }
  return out;
}

Signature verifySignature(std::string_view der, const std::string* detachedContent,
                          X509_STORE* anchors) {
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
  UniquePtr<CMS_ContentInfo> cms(
      d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cms || cursor != reinterpret_cast<const unsigned char*>(der.data()) + der.size() ||
      OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    raiseOpenSsl(Status::kSignatureInvalid, "the signature is damaged");
  }
  if ((CMS_is_detached(cms.get()) == 1) != (detachedContent != nullptr)) {
    raise(Status::kSignatureInvalid, "the signature is damaged");
  }
  if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) != 1) {
    raise(Status::kSignatureInvalid, "the signature must have exactly one signer");
  }
  // CMS_verify copies a memory BIO's content into a second one, which OpenSSL 3.0 leaks when the
  // signature's digest cannot be set up; behind a buffer the content is read where it is.
  UniquePtr<BIO> content;
  if (detachedContent) {
    UniquePtr<BIO> memory = memoryBio(*detachedContent);
    content.reset(BIO_new(BIO_f_buffer()));
    if (!content) raiseOpenSsl(Status::kFailed, "out of memory");
    BIO_push(content.get(), memory.release());
  }
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  if (!out) raiseOpenSsl(Status::kFailed, "out of memory");
  // The chain is checked below against the anchors alone: a one-shot verification with a store
  // would also apply the e-mail purpose, which code-signing certificates do not have.
  if (CMS_verify(cms.get(), nullptr, nullptr, content.get(), out.get(),
                 CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    raiseOpenSsl(Status::kSignatureInvalid, "the signature does not match the signed content");
  }
  Signature signature;
  {
    const openssl::BorrowedX509Stack signers(CMS_get0_signers(cms.get()));
    if (!signers || sk_X509_num(signers.get()) != 1) {
      raise(Status::kSignatureInvalid, "the signer's certificate is missing");
    }
    signature.leaf = upRef(sk_X509_value(signers.get(), 0));
    if (!signature.leaf) raiseOpenSsl(Status::kFailed, "out of memory");
  }
  requireBoundSigner(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0),
                     signature.leaf.get());
  signature.certificates.reset(CMS_get1_certs(cms.get()));
  if (!signature.certificates) signature.certificates.reset(sk_X509_new_null());
  if (!detachedContent) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    if (size > 0) signature.encapsulated.assign(data, static_cast<std::size_t>(size));
  }

  UniquePtr<X509_STORE_CTX> context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), anchors, signature.leaf.get(),
                                      signature.certificates.get()) != 1) {
    raiseOpenSsl(Status::kFailed, "cannot check the certificate chain");
  }
  // Code stays valid after its certificate expires; only the anchors decide.
  X509_VERIFY_PARAM_set_flags(X509_STORE_CTX_get0_param(context.get()), X509_V_FLAG_NO_CHECK_TIME);
  if (X509_verify_cert(context.get()) == 1) {
    signature.anchored = true;
    signature.chain.reset(X509_STORE_CTX_get1_chain(context.get()));
  }
  ERR_clear_error();
  return signature;
}

std::string signedBodySha256(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0) raiseOpenSsl(Status::kFailed, "cannot encode a certificate");
  UniquePtr<unsigned char> owner(der);
  const unsigned char* cursor = der;
  long contentLength = 0;
  int tag = 0;
  int objectClass = 0;
  // Into the outer SEQUENCE, then over the first element, the TBSCertificate, header included.
  if (ASN1_get_object(&cursor, &contentLength, &tag, &objectClass, length) & 0x80) {
    raiseOpenSsl(Status::kFailed, "cannot read a certificate");
  }
  const unsigned char* body = cursor;
  const long remaining = length - (cursor - der);
  if ((ASN1_get_object(&cursor, &contentLength, &tag, &objectClass, remaining) & 0x80) ||
      tag != V_ASN1_SEQUENCE) {
    raiseOpenSsl(Status::kFailed, "cannot read a certificate");
  }
  const std::size_t bodySize = static_cast<std::size_t>(cursor - body + contentLength);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(body, bodySize, digest, &size, EVP_sha256(), nullptr) != 1) {
    raiseOpenSsl(Status::kFailed, "SHA-256 failed");
  }
  return hex(digest, size);
}

SignerFacts factsOf(const Signature& signature, std::string identifier) {
  SignerFacts facts;
  facts.identifier = std::move(identifier);
  facts.anchored = signature.anchored;
  for (const X509* certificate : signature.orderedChain()) {
    facts.chain.push_back(certificateFacts(certificate));
  }
  return facts;
}

void requireTrustAndRequirement(const SignerFacts& signer, const Requirement* requirement) {
  if (!signer.anchored) {
    raise(Status::kUntrusted, "the signing certificate's chain does not end at a trust anchor");
  }
  if (requirement && !requirement->isSatisfiedBy(signer)) {
    raise(Status::kRequirementUnsatisfied, "the code does not satisfy the requirement");
  }
}

void requireTrustAndRequirement(const Signature& signature, const std::string& identifier,
                                const Requirement* requirement) {
  requireTrustAndRequirement(factsOf(signature, identifier), requirement);
}

SigningInformation informationOf(const Signature& signature, std::string identifier) {
  SigningInformation info;
  info.identifier = std::move(identifier);
  for (X509* certificate : signature.orderedChain())
    info.authorities.push_back(commonName(certificate));
  const X509_NAME* name = X509_get_subject_name(signature.leaf.get());
  const int index = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, -1);
  if (index >= 0) {
    unsigned char* utf8 = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (length >= 0) {
      UniquePtr<unsigned char> owner(utf8);
      info.team =
          std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(signature.leaf.get(), EVP_sha256(), digest, &size) == 1) {
    info.leafSha256 = hex(digest, size);
  }
  info.leafSignedBodySha256 = signedBodySha256(signature.leaf.get());
  return info;
}

std::string certificateSignedBodySha256(std::string_view pem) {
  UniquePtr<BIO> bio = memoryBio(pem);
  UniquePtr<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!certificate) raiseOpenSsl(Status::kFailed, "no certificate");
  return signedBodySha256(certificate.get());
}

fs::path trustAnchorsPath() { return env().platformRoot() / "System/Library/Security/anchors.pem"; }

fs::path revokedCertificatesPath() {
  return env().platformRoot() / "System/Library/Security/revoked.txt";
}

}  // namespace platform::codesign
