// Ownership of OpenSSL objects: one stateless deleter per C type, so that every object is freed on
// every path by construction. Use as openssl::UniquePtr<X509>.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace platform::openssl {

template <typename T>
struct Deleter;

// `type` names a type, which cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define PLATFORM_OPENSSL_DELETER(type, free_function)              \
  template <>                                                      \
  struct Deleter<type> {                                           \
    void operator()(type* object) const { free_function(object); } \
  }
// NOLINTEND(bugprone-macro-parentheses)

PLATFORM_OPENSSL_DELETER(ASN1_INTEGER, ASN1_INTEGER_free);
PLATFORM_OPENSSL_DELETER(ASN1_OBJECT, ASN1_OBJECT_free);
PLATFORM_OPENSSL_DELETER(ASN1_TYPE, ASN1_TYPE_free);
PLATFORM_OPENSSL_DELETER(BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free);
PLATFORM_OPENSSL_DELETER(BIGNUM, BN_free);
PLATFORM_OPENSSL_DELETER(BIO, BIO_free_all);
PLATFORM_OPENSSL_DELETER(CMS_ContentInfo, CMS_ContentInfo_free);
PLATFORM_OPENSSL_DELETER(ESS_SIGNING_CERT_V2, ESS_SIGNING_CERT_V2_free);
PLATFORM_OPENSSL_DELETER(EVP_MD, EVP_MD_free);
PLATFORM_OPENSSL_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
PLATFORM_OPENSSL_DELETER(EVP_PKEY, EVP_PKEY_free);
PLATFORM_OPENSSL_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
PLATFORM_OPENSSL_DELETER(X509, X509_free);
PLATFORM_OPENSSL_DELETER(X509_EXTENSION, X509_EXTENSION_free);
PLATFORM_OPENSSL_DELETER(X509_NAME, X509_NAME_free);
PLATFORM_OPENSSL_DELETER(X509_STORE, X509_STORE_free);
PLATFORM_OPENSSL_DELETER(X509_STORE_CTX, X509_STORE_CTX_free);

#undef PLATFORM_OPENSSL_DELETER

// A stack of certificates owns its certificates as well.
template <>
struct Deleter<STACK_OF(X509)> {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};

// Buffers that OpenSSL allocated for the caller (i2d_*, ASN1_STRING_to_UTF8).
template <>
struct Deleter<unsigned char> {
  void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};

template <typename T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

// A stack that a call lends with its certificates still owned elsewhere (CMS_get0_signers).
struct StackOnlyDeleter {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using BorrowedX509Stack = std::unique_ptr<STACK_OF(X509), StackOnlyDeleter>;

// A reference of the caller's own to an object someone else holds; null when object is null or
// the count cannot be raised.
inline UniquePtr<X509> upRef(X509* object) {
  return UniquePtr<X509>(object && X509_up_ref(object) == 1 ? object : nullptr);
}
inline UniquePtr<X509_STORE> upRef(X509_STORE* object) {
  return UniquePtr<X509_STORE>(object && X509_STORE_up_ref(object) == 1 ? object : nullptr);
}

}  // namespace platform::openssl
