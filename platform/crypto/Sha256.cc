#include "platform/crypto/Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "platform/env/Errors.h"

namespace platform {

void Sha256::Deleter::operator()(void* context) const {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context));
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ ||
      EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_.get()), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 unavailable: " + drainOpenSslErrors());
  }
}

void Sha256::update(const void* data, std::size_t size) {
  if (EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_.get()), data, size) != 1) {
    throw std::runtime_error("SHA-256 update failed: " + drainOpenSslErrors());
  }
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_.get()), digest.data(), &length) != 1 ||
      length != digest.size()) {
    throw std::runtime_error("SHA-256 final failed: " + drainOpenSslErrors());
  }
  return digest;
}

Sha256Digest Sha256::digest(std::string_view bytes) {
  Sha256 sha;
  sha.update(bytes.data(), bytes.size());
  return sha.finish();
}

}  // namespace platform
