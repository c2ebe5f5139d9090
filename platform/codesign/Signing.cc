// Signing: loading an identity and writing a bundle's seal or a flat file's trailer. Only the tools
// sign; the product only verifies, so this is kept out of the way of the checks.
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/codesign/Internal.h"
#include "platform/env/Env.h"

namespace platform::codesign {

namespace {

bool isCleanUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return false;
    std::size_t extra = 0;
    std::uint32_t point = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if ((c & 0xe0) == 0xc0) {
      extra = 1, point = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      extra = 2, point = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      extra = 3, point = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      point = (point << 6) | (next & 0x3f);
    }
    static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (point < kMinimum[extra] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace

// --- SigningIdentity -------------------------------------------------------------------------

struct SigningIdentity::Parts {
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> leaf;
  UniquePtr<STACK_OF(X509)> intermediates;
};

SigningIdentity::SigningIdentity(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
SigningIdentity::SigningIdentity(SigningIdentity&&) noexcept = default;
SigningIdentity& SigningIdentity::operator=(SigningIdentity&&) noexcept = default;
SigningIdentity::~SigningIdentity() = default;

SigningIdentity SigningIdentity::load(const fs::path& pem) {
  std::string text;
  try {
    text = env().readFile(pem);
  } catch (const std::system_error& error) {
    raise(Status::kFailed, std::string("cannot read the identity: ") + error.what());
  }
  auto parts = std::make_unique<Parts>();
  {
    UniquePtr<BIO> bio = memoryBio(text);
    parts->key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  }
  UniquePtr<BIO> bio = memoryBio(text);
  parts->intermediates.reset(sk_X509_new_null());
  while (true) {
    UniquePtr<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) break;
    if (!parts->leaf) {
      parts->leaf = std::move(certificate);
    } else if (sk_X509_push(parts->intermediates.get(), certificate.get()) > 0) {
      static_cast<void>(certificate.release());  // the stack owns it now
    }
  }
  ERR_clear_error();
  if (!parts->key || !parts->leaf) {
    raise(Status::kFailed, pem.string() + " holds no private key and certificate");
  }
  if (X509_check_private_key(parts->leaf.get(), parts->key.get()) != 1) {
    ERR_clear_error();
    raise(Status::kFailed, pem.string() + ": the private key does not belong to the certificate");
  }
  return SigningIdentity(std::move(parts));
}

namespace {

std::string cmsSign(const SigningIdentity::Parts& parts, std::string_view content, bool detached) {
  UniquePtr<BIO> input = memoryBio(content);
  // CMS_CADES adds the signed attribute that binds the leaf (see requireBoundSigner).
  const unsigned int flags =
      CMS_BINARY | CMS_NOSMIMECAP | CMS_CADES | (detached ? CMS_DETACHED : 0u);
  UniquePtr<CMS_ContentInfo> cms(
      CMS_sign(parts.leaf.get(), parts.key.get(), parts.intermediates.get(), input.get(), flags));
  if (!cms) raiseOpenSsl(Status::kFailed, "signing failed");
  unsigned char* der = nullptr;
  const int length = i2d_CMS_ContentInfo(cms.get(), &der);
  if (length <= 0) raiseOpenSsl(Status::kFailed, "signing failed");
  UniquePtr<unsigned char> owner(der);
  return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
}

void writeFileBeneath(const fs::path& path, std::string_view bytes) {
  try {
    env().writeFileAtomically(path, bytes, 0644);
  } catch (const std::system_error& error) {
    raise(Status::kFailed, error.what());
  }
}

}  // namespace

void sign(const fs::path& path, const SigningIdentity& identity,
          const std::optional<std::string>& identifier) {
  const StaticCode code = StaticCode::createWithPath(path);
  const SigningIdentity::Parts& parts = *identity.parts_;
  if (!code.isBundle()) {
    if (!identifier || identifier->empty())
      raise(Status::kFailed, "a flat file needs an identifier");
    UniqueFd fd = openFlatFile(path, O_RDWR);
    const std::optional<Trailer> old = readTrailer(fd.get(), false);
    const std::uint64_t length = old ? old->contentLength : fileSize(fd.get());
    Hasher hasher;
    plist::Dictionary directory{{"identifier", *identifier},
                                {"size", static_cast<std::int64_t>(length)},
                                {"sha256", plist::Data{hasher.digest(fd.get(), length)}}};
    const std::string der = cmsSign(parts, plist::serialize(directory), false);
    std::string trailer = der;
    std::uint64_t size = der.size();
    for (int i = 0; i < 8; ++i) trailer.push_back(static_cast<char>((size >> (8 * i)) & 0xff));
    trailer.append(kTrailerMagic, sizeof kTrailerMagic);
    if (::ftruncate(fd.get(), static_cast<off_t>(length)) != 0) {
      raise(Status::kFailed, errnoMessage(errno, "cannot truncate"));
    }
    std::size_t done = 0;
    while (done < trailer.size()) {
      const ssize_t n = retryOnEintr([&] {
        return ::pwrite(fd.get(), trailer.data() + done, trailer.size() - done,
                        static_cast<off_t>(length + done));
      });
      if (n < 0) raise(Status::kFailed, errnoMessage(errno, "cannot write"));
      done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) raise(Status::kFailed, errnoMessage(errno, "fsync"));
    return;
  }

  UniqueFd bundleFd = openCodeFolder(path);
  std::string signingIdentifier;
  if (identifier) {
    signingIdentifier = *identifier;
  } else {
    FileRead info = readBeneath(bundleFd.get(), "Contents/Info.plist", kMaximumInfoPlistSize);
    try {
      const plist::Value root = info.exists ? plist::parse(info.bytes) : plist::Value();
      if (const plist::Dictionary* top = root.dictionary()) {
        if (const std::string* id = plist::stringForKey(*top, "CFBundleIdentifier")) {
          signingIdentifier = *id;
        }
      }
    } catch (const plist::PropertyListError&) {
    }
  }
  if (signingIdentifier.empty())
    raise(Status::kFailed, "the bundle has no identifier to sign with");

  Hasher hasher;
  plist::Dictionary files;
  walk(bundleFd.get(), "", 0, [&](const FoundEntry& found) {
    if (!isCleanUtf8(found.path)) {
      raise(Status::kFailed, "a file name is not clean UTF-8 text: " + found.path);
    }
    switch (found.kind) {
      case SealEntry::Kind::kFile:
        files[found.path] = plist::Dictionary{
            {"sha256", plist::Data{hashRegular(hasher, found.dirFd, found.name, found.path)}}};
        break;
      case SealEntry::Kind::kSymlink:
        files[found.path] =
            plist::Dictionary{{"symlink", readSymlink(found.dirFd, found.name, found.path)}};
        break;
      case SealEntry::Kind::kFolder:
        files[found.path] = plist::Dictionary{{"folder", true}};
        break;
      case SealEntry::Kind::kNested: {
        const NestedDigests digests = nestedDigests(hasher, found.dirFd, found.name, found.path);
        files[found.path] = plist::Dictionary{
            {"nested", plist::Dictionary{{"resources", plist::Data{digests.resources}},
                                         {"signature", plist::Data{digests.signature}}}}};
        break;
      }
    }
  });
  const std::string resources = plist::serialize(
      plist::Dictionary{{"identifier", signingIdentifier}, {"files", std::move(files)}});
  const std::string signature = cmsSign(parts, resources, true);
  try {
    env().createDirectories(path / kSealFolder, 0755);
  } catch (const std::system_error& error) {
    raise(Status::kFailed, error.what());
  }
  // The signature is written last, so an interrupted signing leaves a seal that does not verify.
  writeFileBeneath(path / kResourcesPath, resources);
  writeFileBeneath(path / kSignaturePath, signature);
}

}  // namespace platform::codesign
