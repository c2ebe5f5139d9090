// Code on disk: tells a bundle from a flat file and hands each to its own check. Both kinds meet
// only here, so neither the seal nor the trailer code needs to know the other.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/codesign/Internal.h"

namespace platform::codesign {

StaticCode StaticCode::createWithPath(const fs::path& path, Flags /*flags*/) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) {
    raise(Status::kNoCode, errnoMessage(errno ? errno : ENOENT, path.string()));
  }
  if (S_ISREG(info.st_mode)) return StaticCode(path, false);
  struct stat contents {};
  if (S_ISDIR(info.st_mode) && ::stat((path / "Contents").c_str(), &contents) == 0 &&
      S_ISDIR(contents.st_mode)) {
    return StaticCode(path, true);
  }
  raise(Status::kNoCode, path.string() + " is neither a bundle nor a file");
}

SigningInformation StaticCode::checkValidity(Flags flags, const Requirement* requirement) const {
  SigningInformation info =
      isBundle_ ? checkBundle(path_, flags, requirement) : checkFlatFile(path_, requirement);
  info.isBundle = isBundle_;
  return info;
}

SigningInformation StaticCode::signingInformation() const {
  SigningInformation info;
  if (isBundle_) {
    UniqueFd fd = openCodeFolder(path_);
    Seal seal = readSeal(fd.get());
    info = informationOf(seal.signature, seal.identifier);
  } else {
    UniqueFd fd = openFlatFile(path_, O_RDONLY);
    FlatSignature flat = readFlatSignature(fd.get());
    info = informationOf(flat.signature, flat.directory.identifier);
  }
  info.isBundle = isBundle_;
  return info;
}

}  // namespace platform::codesign
