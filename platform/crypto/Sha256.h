// SHA-256 (FIPS 180-4) over a stream of bytes, with OpenSSL's EVP interface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256();  // throws std::runtime_error when OpenSSL cannot start a computation
  void update(const void* data, std::size_t size);
  // Ends the computation; the object may not be updated afterwards.
  Sha256Digest finish();

  static Sha256Digest digest(std::string_view bytes);

 private:
  struct Deleter {
    void operator()(void* context) const;
  };
  std::unique_ptr<void, Deleter> context_;
};

}  // namespace platform
