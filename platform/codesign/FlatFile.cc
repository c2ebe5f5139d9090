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

UniqueFd openFlatFile(const fs::path& path, int flags) {
  // Non-blocking, so a fifo put in place of the file cannot stall the check.
  UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) raise(Status::kNoCode, errnoMessage(errno, path.string()));
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
  return flatFileContentLength(openFlatFile(path, O_RDONLY).get());
}

}  // namespace platform::codesign
