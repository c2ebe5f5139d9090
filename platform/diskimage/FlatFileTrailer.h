// The trailer that carries a flat file's signature: [content][CMS DER][u64 LE length][magic].
// Apart from the rest of code signing, so that a tool which only needs to know where the signed
// content ends (attaching a disk image) does not load the cryptography library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform::codesign {

inline constexpr char kTrailerMagic[8] = {'C', 'O', 'D', 'E', 'S', 'I', 'G', 'N'};
inline constexpr std::size_t kTrailerSize = 16;
// Upper bound of a signature read whole into memory, so a hostile file cannot exhaust it.
inline constexpr std::uint64_t kMaximumSignatureSize = 1 << 20;

struct Trailer {
  std::uint64_t contentLength = 0;
  std::string signature;  // CMS DER, when asked for
};

// Failures below throw CodeSigningError (CodeSigning.h).

// The size of the regular file open at fd (anything else is no code).
std::uint64_t fileSize(int fd);
// Reads exactly size bytes at offset; a file that ends first is truncated.
void preadAll(int fd, char* buffer, std::size_t size, std::uint64_t offset);
// The trailer of the flat file open at fd, or nothing when it carries no signature; the signature
// bytes are read only when wantSignature. Reads the last kTrailerSize bytes, and the signature.
std::optional<Trailer> readTrailer(int fd, bool wantSignature);
// The length of the signed content of the flat file open at fd: its size less any trailer.
std::uint64_t flatFileContentLength(int fd);

}  // namespace platform::codesign
