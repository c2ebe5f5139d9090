// Bundle seals: reading CodeResources, walking a bundle's folders, and checking every entry
// against the seal (files by SHA-256, links by target, folders, nested bundles by their seal
// digests and then in turn). The bulk of a strict verification's time is spent here.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "platform/codesign/Internal.h"

namespace platform::codesign {

namespace {

constexpr int kMaximumFolderDepth = 128;
// Bundles inside bundles: an application holds its extension, which holds its service. The folder
// limit restarts in every nested bundle, so without this bound a chain of nested bundles (any
// trusted signer can make one) would recurse until the stack runs out.
constexpr int kMaximumNestedCodeDepth = 16;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

bool isNestedBundleFolder(const std::string& parent) {
  return parent == "Contents/PlugIns" || parent == "Contents/XPCServices";
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) parts.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

// Resolves a link the way the kernel would, over the links the seal records, and tells whether
// the result stays below the bundle. Parts of the path that do not exist count as folders, so a
// dangling link is judged by where it points.
bool resolvesInside(const std::string& linkPath, const Seal& seal) {
  std::vector<std::string> resolved = splitPath(linkPath);
  resolved.pop_back();  // a link resolves relative to the folder that holds it
  std::deque<std::string> pending;
  const std::string& first = seal.entries.at(linkPath).target;
  if (first.starts_with("/")) return false;
  for (std::string& part : splitPath(first)) pending.push_back(std::move(part));
  int expansions = 0;
  while (!pending.empty()) {
    std::string part = std::move(pending.front());
    pending.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (resolved.empty()) return false;
      resolved.pop_back();
      continue;
    }
    std::string candidate;
    for (const std::string& piece : resolved) candidate += piece + "/";
    candidate += part;
    const auto it = seal.entries.find(candidate);
    if (it != seal.entries.end() && it->second.kind == SealEntry::Kind::kSymlink) {
      if (++expansions > 40 || it->second.target.starts_with("/")) return false;
      const std::vector<std::string> parts = splitPath(it->second.target);
      pending.insert(pending.begin(), parts.begin(), parts.end());
      continue;
    }
    resolved.push_back(std::move(part));
  }
  return true;
}

// The kernel's own view: does resolving the link from the bundle leave it?
bool kernelSaysEscapes(int bundleFd, const std::string& linkPath) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH;
  const long fd = ::syscall(SYS_openat2, bundleFd, linkPath.c_str(), &how, sizeof how);
  if (fd >= 0) {
    ::close(static_cast<int>(fd));
    return false;
  }
  return errno == EXDEV || errno == ELOOP;
}

}  // namespace

plist::Value parseSignedList(std::string_view bytes) {
  constexpr int kMaximumDepth = 128;
  if (bytes.starts_with("bplist")) throw plist::PropertyListError("not an XML property list");
  std::size_t at = 0;
  // The prolog: the XML declaration and the document type.
  while ((at = bytes.find_first_not_of(" \t\r\n", at)) != std::string_view::npos) {
    const std::string_view rest = bytes.substr(at);
    std::string_view terminator;
    if (rest.starts_with("<?")) {
      terminator = "?>";
    } else if (rest.starts_with("<!DOCTYPE")) {
      terminator = ">";
    } else {
      break;
    }
    const std::size_t end = bytes.find(terminator, at);
    if (end == std::string_view::npos) throw plist::PropertyListError("damaged prolog");
    at = end + terminator.size();
  }
  int depth = 0;
  while (at != std::string_view::npos && (at = bytes.find('<', at)) != std::string_view::npos) {
    const std::size_t end = bytes.find('>', at);
    if (end == std::string_view::npos) throw plist::PropertyListError("unterminated tag");
    const std::string_view tag = bytes.substr(at + 1, end - at - 1);
    if (tag.empty() || tag.front() == '!' || tag.front() == '?' ||
        tag.find('<') != std::string_view::npos ||
        std::count(tag.begin(), tag.end(), '"') % 2 != 0 ||
        tag.find('\'') != std::string_view::npos) {
      throw plist::PropertyListError("unexpected markup");
    }
    if (tag.front() == '/') {
      if (--depth < 0) throw plist::PropertyListError("unbalanced tags");
    } else if (tag.back() != '/' && ++depth > kMaximumDepth) {
      throw plist::PropertyListError("nested too deeply");
    }
    at = end + 1;
  }
  return plist::parse(bytes);
}

const plist::Data* dataForKey(const plist::Dictionary& dictionary, const std::string& key) {
  const auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : std::get_if<plist::Data>(&it->second.v);
}

Seal sealOf(const FileRead& resources, const FileRead& signatureFile, X509_STORE* anchors) {
  if (!resources.exists && !signatureFile.exists)
    raise(Status::kUnsigned, "code object is not signed at all");
  if (!resources.exists || !signatureFile.exists) {
    raise(Status::kSignatureInvalid, "the signature is incomplete");
  }
  Seal seal;
  seal.signature = verifySignature(signatureFile.bytes, &resources.bytes, anchors);
  plist::Value root;
  try {
    root = parseSignedList(resources.bytes);
  } catch (const plist::PropertyListError&) {
    raise(Status::kSignatureInvalid, "the seal is damaged");
  }
  const plist::Dictionary* top = root.dictionary();
  const std::string* identifier = top ? plist::stringForKey(*top, "identifier") : nullptr;
  const auto files = top ? top->find("files") : plist::Dictionary::const_iterator();
  if (!identifier || files == top->end() || !files->second.dictionary()) {
    raise(Status::kSignatureInvalid, "the seal is damaged");
  }
  // An empty identifier is never signed, so a requirement for "" can match nothing.
  if (identifier->empty()) raise(Status::kSignatureInvalid, "the seal has no identifier");
  seal.identifier = *identifier;
  for (const auto& [path, value] : *files->second.dictionary()) {
    const plist::Dictionary* item = value.dictionary();
    if (!item) raise(Status::kSignatureInvalid, "the seal is damaged");
    SealEntry entry;
    if (const plist::Data* digest = dataForKey(*item, "sha256")) {
      entry.kind = SealEntry::Kind::kFile;
      entry.digest = digest->bytes;
    } else if (const std::string* target = plist::stringForKey(*item, "symlink")) {
      entry.kind = SealEntry::Kind::kSymlink;
      entry.target = *target;
    } else if (const auto folder = item->find("folder");
               folder != item->end() && folder->second.v == plist::Value(true).v) {
      entry.kind = SealEntry::Kind::kFolder;
    } else if (const auto nested = item->find("nested");
               nested != item->end() && nested->second.dictionary()) {
      const plist::Data* resourcesDigest = dataForKey(*nested->second.dictionary(), "resources");
      const plist::Data* signatureDigest = dataForKey(*nested->second.dictionary(), "signature");
      if (!resourcesDigest || !signatureDigest)
        raise(Status::kSignatureInvalid, "the seal is damaged");
      entry.kind = SealEntry::Kind::kNested;
      entry.resourcesDigest = resourcesDigest->bytes;
      entry.signatureDigest = signatureDigest->bytes;
    } else {
      raise(Status::kSignatureInvalid, "the seal is damaged");
    }
    seal.entries.emplace(path, std::move(entry));
  }
  return seal;
}

Seal readSeal(int bundleFd) {
  return sealOf(readBeneath(bundleFd, kResourcesPath, kMaximumResourcesSize),
                readBeneath(bundleFd, kSignaturePath, kMaximumSignatureSize),
                trustAnchors().store.get());
}

void walk(int dirFd, const std::string& prefix, int depth, const Visitor& visit) {
  if (depth > kMaximumFolderDepth) raise(Status::kSealBroken, "folders nested too deeply");
  UniqueFd listing(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing) raise(Status::kFailed, errnoMessage(errno, "cannot list", prefix));
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing.get()));
  if (!dir) raise(Status::kFailed, errnoMessage(errno, "cannot list", prefix));
  listing.release();
  const std::string parent = prefix.empty() ? std::string() : prefix.substr(0, prefix.size() - 1);
  while (true) {
    errno = 0;
    const dirent* item = ::readdir(dir.get());
    if (!item) {
      if (errno != 0) raise(Status::kFailed, errnoMessage(errno, "cannot list", prefix));
      break;
    }
    const char* name = item->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    const std::string path = prefix + name;
    if (path == kResourcesPath || path == kSignaturePath) continue;
    struct stat info {};
    if (::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      raise(Status::kFailed, errnoMessage(errno, "cannot examine", path));
    }
    if (S_ISDIR(info.st_mode)) {
      if (isNestedBundleFolder(parent)) {
        visit({SealEntry::Kind::kNested, path, dirFd, name});
        continue;
      }
      // The seal folder is made by signing, so a first signing could not record it.
      if (path != kSealFolder) visit({SealEntry::Kind::kFolder, path, dirFd, name});
      UniqueFd child(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!child) raise(Status::kFailed, errnoMessage(errno, "cannot open", path));
      walk(child.get(), path + "/", depth + 1, visit);
    } else if (S_ISREG(info.st_mode)) {
      visit({SealEntry::Kind::kFile, path, dirFd, name});
    } else if (S_ISLNK(info.st_mode)) {
      visit({SealEntry::Kind::kSymlink, path, dirFd, name});
    } else {
      raise(Status::kSealBroken, "unsupported file type: " + path);
    }
  }
}

std::string readSymlink(int dirFd, const char* name, const std::string& path) {
  std::string target(4096, '\0');
  const ssize_t n = ::readlinkat(dirFd, name, target.data(), target.size());
  if (n < 0) raise(Status::kFailed, errnoMessage(errno, "cannot read link", path));
  if (static_cast<std::size_t>(n) >= target.size())
    raise(Status::kSealBroken, "link too long: " + path);
  target.resize(static_cast<std::size_t>(n));
  return target;
}

UniqueFd openRegular(int dirFd, const char* name, const std::string& path) {
  UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) raise(Status::kSealBroken, errnoMessage(errno, "cannot open", path));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    raise(Status::kSealBroken, path + " changed while it was examined");
  }
  return fd;
}

std::string hashRegular(Hasher& hasher, int dirFd, const char* name, const std::string& path) {
  return hasher.digest(openRegular(dirFd, name, path).get());
}

NestedDigests nestedDigests(Hasher& hasher, int dirFd, const char* name, const std::string& path) {
  UniqueFd nested(::openat(dirFd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!nested) raise(Status::kNestedCodeInvalid, "cannot open nested code " + path);
  FileRead resources = readBeneath(nested.get(), kResourcesPath, kMaximumResourcesSize);
  FileRead signature = readBeneath(nested.get(), kSignaturePath, kMaximumSignatureSize);
  if (!resources.exists || !signature.exists) {
    raise(Status::kNestedCodeInvalid, "nested code is not signed: " + path);
  }
  return {hasher.digest(resources.bytes), hasher.digest(signature.bytes)};
}

UniqueFd openCodeFolder(const fs::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) raise(Status::kNoCode, errnoMessage(errno, path.string()));
  return fd;
}

namespace {

// Walks a bundle while fileChecks hashes the files the visitor queues, and throws what fails first
// in the walk's order, as if every file had been hashed where the walk met it.
void walkAndCheck(int bundleFd, SealedFileChecks& fileChecks, const Visitor& visit) {
  try {
    walk(bundleFd, "", 0, visit);
  } catch (...) {
    fileChecks.fail(std::current_exception());
  }
  fileChecks.finish();
}

SigningInformation checkBundleAt(int bundleFd, const fs::path& path, Flags flags,
                                 const Requirement* requirement, int nestingLevel = 0) {
  if (nestingLevel > kMaximumNestedCodeDepth) {
    raise(Status::kNestedCodeInvalid, "code nested too deeply: " + path.string());
  }
  Seal seal = readSeal(bundleFd);
  if (!seal.signature.anchored) {
    raise(Status::kUntrusted, "the signing certificate's chain does not end at a trust anchor");
  }
  Hasher hasher;
  std::size_t seen = 0;
  std::vector<std::string> nested;
  // Folders hold no content, so only strict validation asks that none was added or removed.
  const bool strict = (flags & kStrictValidate) != 0;
  SealedFileChecks fileChecks;
  walkAndCheck(bundleFd, fileChecks, [&](const FoundEntry& found) {
    if (found.kind == SealEntry::Kind::kFolder && !strict) return;
    const auto it = seal.entries.find(found.path);
    if (it == seal.entries.end()) raise(Status::kSealBroken, "a file was added: " + found.path);
    SealEntry& entry = it->second;
    if (entry.kind != found.kind)
      raise(Status::kSealBroken, "a sealed resource changed: " + found.path);
    entry.seen = true;
    ++seen;
    switch (found.kind) {
      case SealEntry::Kind::kFile:
        fileChecks.add(openRegular(found.dirFd, found.name, found.path), entry.digest, found.path);
        break;
      case SealEntry::Kind::kSymlink:
        if (readSymlink(found.dirFd, found.name, found.path) != entry.target) {
          raise(Status::kSealBroken, "a symbolic link was retargeted: " + found.path);
        }
        break;
      case SealEntry::Kind::kFolder:
        break;
      case SealEntry::Kind::kNested: {
        const NestedDigests digests = nestedDigests(hasher, found.dirFd, found.name, found.path);
        if (digests.resources != entry.resourcesDigest ||
            digests.signature != entry.signatureDigest) {
          raise(Status::kNestedCodeInvalid, "nested code was modified or replaced: " + found.path);
        }
        nested.push_back(found.path);
        break;
      }
    }
  });
  if (seen != seal.entries.size()) {
    for (const auto& [entryPath, entry] : seal.entries) {
      if (!entry.seen && (strict || entry.kind != SealEntry::Kind::kFolder)) {
        raise(Status::kSealBroken, "a sealed resource is missing: " + entryPath);
      }
    }
  }
  if (strict) {
    for (const auto& [entryPath, entry] : seal.entries) {
      if (entry.kind == SealEntry::Kind::kSymlink &&
          (!resolvesInside(entryPath, seal) || kernelSaysEscapes(bundleFd, entryPath))) {
        raise(Status::kSymlinkEscapes, "a symbolic link leads outside the bundle: " + entryPath);
      }
    }
  }
  if (flags & kCheckNestedCode) {
    for (const std::string& nestedPath : nested) {
      try {
        // Opened through the folders just walked, so a folder swapped for a link is not followed.
        UniqueFd nestedFd = openBeneath(bundleFd, nestedPath, O_RDONLY | O_DIRECTORY);
        if (!nestedFd) raise(Status::kNestedCodeInvalid, errnoMessage(errno));
        checkBundleAt(nestedFd.get(), path / nestedPath, flags, nullptr, nestingLevel + 1);
      } catch (const CodeSigningError& error) {
        raise(Status::kNestedCodeInvalid,
              "nested code is invalid: " + nestedPath + ": " + error.what());
      }
    }
  }
  requireTrustAndRequirement(seal.signature, seal.identifier, requirement);
  return informationOf(seal.signature, seal.identifier);
}

}  // namespace

SigningInformation checkBundle(const fs::path& path, Flags flags, const Requirement* requirement) {
  UniqueFd fd = openCodeFolder(path);
  return checkBundleAt(fd.get(), path, flags, requirement);
}

}  // namespace platform::codesign
