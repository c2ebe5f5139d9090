#include "platform/diskimage/FlatFileTrailer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/codesign/CodeSigning.h"
#include "platform/env/Errors.h"

namespace platform::codesign {

std::uint64_t fileSize(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    throw CodeSigningError(Status::kFailed, errnoMessage(errno, "stat failed"));
  }
  if (!S_ISREG(info.st_mode)) throw CodeSigningError(Status::kNoCode, "not a regular file");
  return static_cast<std::uint64_t>(info.st_size);
}

void preadAll(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = retryOnEintr(
        [&] { return ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done)); });
    if (n < 0) throw CodeSigningError(Status::kFailed, errnoMessage(errno, "read failed"));
    if (n == 0) throw CodeSigningError(Status::kSignatureInvalid, "the file is truncated");
    done += static_cast<std::size_t>(n);
  }
}

std::optional<Trailer> readTrailer(int fd, bool wantSignature) {
  const std::uint64_t size = fileSize(fd);
  if (size < kTrailerSize) return std::nullopt;
  char tail[kTrailerSize];
  preadAll(fd, tail, sizeof tail, size - kTrailerSize);
  if (std::memcmp(tail + 8, kTrailerMagic, sizeof kTrailerMagic) != 0) return std::nullopt;
  std::uint64_t length = 0;
  for (int i = 7; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(tail[i]);
  if (length == 0 || length > kMaximumSignatureSize || length > size - kTrailerSize) {
    throw CodeSigningError(Status::kSignatureInvalid, "the signature trailer is damaged");
  }
  Trailer trailer;
  trailer.contentLength = size - kTrailerSize - length;
  if (wantSignature) {
    trailer.signature.resize(static_cast<std::size_t>(length));
    preadAll(fd, trailer.signature.data(), trailer.signature.size(), trailer.contentLength);
  }
  return trailer;
}

std::uint64_t flatFileContentLength(int fd) {
  const std::optional<Trailer> trailer = readTrailer(fd, false);
  return trailer ? trailer->contentLength : fileSize(fd);
}

}  // namespace platform::codesign
