// Flat-file signatures: the trailer a disk image carries ([content][CMS DER][u64 LE length]
// [magic]) and the signed list inside it (identifier, content size, content SHA-256). Separate from
// bundles because a flat file has no seal, only one digest over its content.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/codesign/Internal.h"

namespace platform::codesign {

namespace {

constexpr std::size_t kTrailerSize = 16;

void preadAll(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) raise(Status::kFailed, std::string("read failed: ") + std::strerror(errno));
    if (n == 0) raise(Status::kSignatureInvalid, "the file is truncated");
    done += static_cast<std::size_t>(n);
  }
}

FlatDirectory parseDirectory(const std::string& bytes) {
  try {
    const plist::Value root = parseSignedList(bytes);
    const plist::Dictionary* top = root.dictionary();
    const std::string* identifier = top ? plist::stringForKey(*top, "identifier") : nullptr;
    const plist::Data* digest = top ? dataForKey(*top, "sha256") : nullptr;
    const auto size = top ? top->find("size") : plist::Dictionary::const_iterator();
    const std::int64_t* length =
        top && size != top->end() ? std::get_if<std::int64_t>(&size->second.v) : nullptr;
    if (identifier && !identifier->empty() && digest && length && *length >= 0) {
      return {*identifier, static_cast<std::uint64_t>(*length), digest->bytes};
    }
  } catch (const plist::PropertyListError&) {
  }
  raise(Status::kSignatureInvalid, "the signature is damaged");
}

}  // namespace

std::uint64_t fileSize(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    raise(Status::kFailed, std::string("stat failed: ") + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) raise(Status::kNoCode, "not a regular file");
  return static_cast<std::uint64_t>(info.st_size);
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
    raise(Status::kSignatureInvalid, "the signature trailer is damaged");
  }
  Trailer trailer;
  trailer.contentLength = size - kTrailerSize - length;
  if (wantSignature) {
    trailer.signature.resize(static_cast<std::size_t>(length));
    preadAll(fd, trailer.signature.data(), trailer.signature.size(), trailer.contentLength);
  }
  return trailer;
}

UniqueFd openFlatFile(const fs::path& path, int flags) {
  // Non-blocking, so a fifo put in place of the file cannot stall the check.
  UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) raise(Status::kNoCode, path.string() + ": " + std::strerror(errno));
  return fd;
}

FlatSignature readFlatSignature(int fd) {
  std::optional<Trailer> trailer = readTrailer(fd, true);
  if (!trailer) raise(Status::kUnsigned, "code object is not signed at all");
  FlatSignature result;
  result.signature = verifySignature(trailer->signature, nullptr, trustAnchors().store.get());
  result.directory = parseDirectory(result.signature.encapsulated);
  result.contentLength = trailer->contentLength;
  if (result.directory.size != trailer->contentLength) {
    raise(Status::kSignatureInvalid, "the signed content has changed size");
  }
  return result;
}

SigningInformation checkFlatFile(const fs::path& path, const Requirement* requirement) {
  UniqueFd fd = openFlatFile(path, O_RDONLY);
  FlatSignature flat = readFlatSignature(fd.get());
  if (!flat.signature.anchored) {
    raise(Status::kUntrusted, "the signing certificate's chain does not end at a trust anchor");
  }
  Hasher hasher;
  if (hasher.digest(fd.get(), flat.contentLength) != flat.directory.digest) {
    raise(Status::kSealBroken, "the signed content is modified");
  }
  requireTrustAndRequirement(flat.signature, flat.directory.identifier, requirement);
  return informationOf(flat.signature, flat.directory.identifier);
}

std::uint64_t flatFileContentLength(const fs::path& path) {
  UniqueFd fd = openFlatFile(path, O_RDONLY);
  const std::optional<Trailer> trailer = readTrailer(fd.get(), false);
  return trailer ? trailer->contentLength : fileSize(fd.get());
}

}  // namespace platform::codesign
