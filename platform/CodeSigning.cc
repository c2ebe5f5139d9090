#include "platform/CodeSigning.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/pem.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "platform/CodeSigningInternal.h"
#include "platform/Env.h"
#include "platform/Errors.h"
#include "platform/OpenSsl.h"
#include "platform/PropertyList.h"

namespace platform::codesign {
namespace fs = std::filesystem;
using openssl::UniquePtr;

namespace {

constexpr const char* kSealFolder = "Contents/_CodeSignature";
constexpr const char* kResourcesPath = "Contents/_CodeSignature/CodeResources";
constexpr const char* kSignaturePath = "Contents/_CodeSignature/CodeSignature";
constexpr char kTrailerMagic[8] = {'C', 'O', 'D', 'E', 'S', 'I', 'G', 'N'};
constexpr std::size_t kTrailerSize = 16;
// Upper bounds for what is read whole into memory, so a hostile file cannot exhaust it.
constexpr std::uint64_t kMaximumSignatureSize = 1 << 20;
constexpr std::uint64_t kMaximumResourcesSize = 64 << 20;
constexpr std::uint64_t kMaximumInfoPlistSize = 1 << 20;
constexpr int kMaximumFolderDepth = 128;
// Bundles inside bundles: an application holds its extension, which holds its service. The folder
// limit restarts in every nested bundle, so without this bound a chain of nested bundles (any
// trusted signer can make one) would recurse until the stack runs out.
constexpr int kMaximumNestedCodeDepth = 16;
// One read of a file being hashed: large enough that system calls cost little next to hashing,
// small enough that the allocator reuses the buffer instead of mapping fresh pages for every check
// (faulting a megabyte in cost more than hashing a small executable).
constexpr std::size_t kHashChunk = 64 << 10;

[[noreturn]] void raise(Status status, const std::string& message) {
  throw CodeSigningError(status, message);
}

[[noreturn]] void raiseOpenSsl(Status status, const std::string& what) {
  const std::string detail = drainOpenSslErrors();
  raise(status, detail.empty() ? what : what + ": " + detail);
}

std::string hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

// --- Files -----------------------------------------------------------------------------------

// Opens a path below dirFd without following a symbolic link anywhere along it.
UniqueFd openBeneath(int dirFd, const std::string& relative, int flags) {
  UniqueFd current;
  int base = dirFd;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = relative.find('/', start);
    const std::string component =
        relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    const bool last = slash == std::string::npos;
    const int componentFlags =
        last ? (flags | O_NOFOLLOW | O_CLOEXEC) : (O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    UniqueFd next(::openat(base, component.c_str(), componentFlags));
    if (!next) return next;
    current = std::move(next);
    base = current.get();
    if (last) return current;
    start = slash + 1;
  }
}

struct FileRead {
  bool exists = false;
  std::string bytes;
};

// A small regular file below dirFd, opened and examined but not read yet; fd is invalid when it is
// not there.
struct OpenedFile {
  UniqueFd fd;
  struct stat info {};
};

OpenedFile openRegularBeneath(int dirFd, const std::string& relative, std::uint64_t limit) {
  OpenedFile file{openBeneath(dirFd, relative, O_RDONLY | O_NONBLOCK), {}};
  if (!file.fd) {
    if (errno == ENOENT || errno == ENOTDIR) return file;
    if (errno == ELOOP) raise(Status::kSignatureInvalid, relative + " is a symbolic link");
    raise(Status::kFailed, "cannot open " + relative + ": " + std::strerror(errno));
  }
  if (::fstat(file.fd.get(), &file.info) != 0 || !S_ISREG(file.info.st_mode)) {
    raise(Status::kSignatureInvalid, relative + " is not a regular file");
  }
  if (static_cast<std::uint64_t>(file.info.st_size) > limit) {
    raise(Status::kSignatureInvalid, relative + " is too large");
  }
  return file;
}

FileRead readOpened(const OpenedFile& file, const std::string& relative) {
  if (!file.fd) return {};
  FileRead result{true, std::string(static_cast<std::size_t>(file.info.st_size), '\0')};
  std::size_t done = 0;
  while (done < result.bytes.size()) {
    const ssize_t n = ::read(file.fd.get(), result.bytes.data() + done, result.bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) raise(Status::kFailed, "cannot read " + relative + ": " + std::strerror(errno));
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  result.bytes.resize(done);
  return result;
}

// The whole of a small regular file below dirFd; exists == false when it is not there.
FileRead readBeneath(int dirFd, const std::string& relative, std::uint64_t limit) {
  return readOpened(openRegularBeneath(dirFd, relative, limit), relative);
}

// What the kernel says about a file, as a key for what was once verified of its content. A process
// of the same user can rewrite a file and set its times back, but not its change time (ctime): the
// kernel sets it to the current time on every change, creation included, and only root can move
// the clock. So a file whose identity (device, inode, size, times) equals the one recorded when
// its content was verified still holds that content, provided that
// - its ctime was already in the past before the identity was taken (a change in the same clock
//   tick, or within a file system's timestamp granularity, could leave the ctime as it was), and
// - the file system is a local one whose times the kernel keeps (on FUSE or a network file system
//   a process or server of the user's choosing reports them).
// The identity is always taken before the content is read, so content newer than its key is at
// worst verified under a key that never comes back.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t mtimeSeconds = 0, mtimeNanoseconds = 0;
  std::int64_t ctimeSeconds = 0, ctimeNanoseconds = 0;
  bool operator==(const FileIdentity&) const = default;
};

timespec coarseNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now;
}

bool onLocalFileSystem(int fd) {
  struct statfs info {};
  if (::fstatfs(fd, &info) != 0) return false;
  switch (static_cast<std::uint64_t>(info.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

// The identity of an open file, or nullopt when it may not serve as a key (see FileIdentity).
std::optional<FileIdentity> identityOf(int fd, const struct stat& info, const timespec& before) {
  // Any later change gets a ctime of at least the whole second of `before`, also on a file system
  // that keeps whole seconds only.
  if (info.st_ctim.tv_sec >= before.tv_sec || !onLocalFileSystem(fd)) {
    return std::nullopt;
  }
  return FileIdentity{info.st_dev,         info.st_ino,          info.st_size,
                      info.st_mtim.tv_sec, info.st_mtim.tv_nsec, info.st_ctim.tv_sec,
                      info.st_ctim.tv_nsec};
}

// SHA-256 of whole files or ranges, with one buffer and one digest context for a whole check.
class Hasher {
 public:
  Hasher()
      : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
        context_(EVP_MD_CTX_new()),
        buffer_(new char[kHashChunk]) {
    if (!md_ || !context_) raiseOpenSsl(Status::kFailed, "SHA-256 unavailable");
  }

  // Hashes length bytes from offset 0 (all of it when length is empty).
  std::string digest(int fd, std::optional<std::uint64_t> length = std::nullopt) {
    if (EVP_DigestInit_ex2(context_.get(), md_.get(), nullptr) != 1) {
      raiseOpenSsl(Status::kFailed, "SHA-256 failed");
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::uint64_t offset = 0;
    while (!length || offset < *length) {
      std::size_t want = kHashChunk;
      if (length && *length - offset < want) want = static_cast<std::size_t>(*length - offset);
      const ssize_t n = ::pread(fd, buffer_.get(), want, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) raise(Status::kFailed, std::string("read failed: ") + std::strerror(errno));
      if (n == 0) {
        if (length) raise(Status::kSignatureInvalid, "the signed content is shorter than signed");
        break;
      }
      if (EVP_DigestUpdate(context_.get(), buffer_.get(), static_cast<std::size_t>(n)) != 1) {
        raiseOpenSsl(Status::kFailed, "SHA-256 failed");
      }
      offset += static_cast<std::uint64_t>(n);
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_.get(), out, &size) != 1) {
      raiseOpenSsl(Status::kFailed, "SHA-256 failed");
    }
    return std::string(reinterpret_cast<const char*>(out), size);
  }

  std::string digest(std::string_view bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out, &size, md_.get(), nullptr) != 1) {
      raiseOpenSsl(Status::kFailed, "SHA-256 failed");
    }
    return std::string(reinterpret_cast<const char*>(out), size);
  }

 private:
  UniquePtr<EVP_MD> md_;
  UniquePtr<EVP_MD_CTX> context_;
  std::unique_ptr<char[]> buffer_;
};

// --- Certificates and signatures -------------------------------------------------------------

UniquePtr<BIO> memoryBio(std::string_view bytes) {
  UniquePtr<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) raiseOpenSsl(Status::kFailed, "out of memory");
  return bio;
}

// The trust anchors, with the identity of the file they came from (nullopt: not to be cached).
struct Anchors {
  UniquePtr<X509_STORE> store;
  std::optional<FileIdentity> identity;
};

UniquePtr<X509_STORE> parseAnchors(const std::string& pem) {
  UniquePtr<X509_STORE> store(X509_STORE_new());
  if (!store) raiseOpenSsl(Status::kFailed, "out of memory");
  UniquePtr<BIO> bio = memoryBio(pem);
  while (true) {
    UniquePtr<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) break;
    X509_STORE_add_cert(store.get(), certificate.get());
  }
  ERR_clear_error();  // the end of the PEM input is reported as an error
  return store;
}

// The anchors as the file holds them now, parsed again only when the file changed (a filled store
// is safe to share between threads). No file: nothing is trusted.
Anchors trustAnchors() {
  static std::mutex mutex;
  static std::optional<FileIdentity> cachedIdentity;
  static X509_STORE* cachedStore = nullptr;  // never freed: threads may outlive main
  const timespec before = coarseNow();
  std::optional<FileIdentity> identity;
  std::string pem;
  try {
    const UniqueFd fd = env().open(trustAnchorsPath(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (::fstat(fd.get(), &info) == 0) identity = identityOf(fd.get(), info, before);
    if (identity) {
      const std::lock_guard lock(mutex);
      if (cachedIdentity == identity && X509_STORE_up_ref(cachedStore) == 1) {
        return Anchors{UniquePtr<X509_STORE>(cachedStore), identity};
      }
    }
    char buffer[65536];
    while (const std::size_t n = env().read(fd.get(), buffer, sizeof buffer)) pem.append(buffer, n);
  } catch (const std::system_error&) {
    return Anchors{parseAnchors({}), std::nullopt};
  }
  Anchors anchors{parseAnchors(pem), identity};
  if (identity && X509_STORE_up_ref(anchors.store.get()) == 1) {
    const std::lock_guard lock(mutex);
    X509_STORE_free(cachedStore);
    cachedIdentity = identity;
    cachedStore = anchors.store.get();
  }
  return anchors;
}

std::string commonName(const X509* certificate) {
  const X509_NAME* name = X509_get_subject_name(certificate);
  const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (index < 0) return {};
  unsigned char* utf8 = nullptr;
  const int length =
      ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
  if (length < 0) return {};
  UniquePtr<unsigned char> owner(utf8);
  return std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
}

// A signature whose cryptography holds, with its signer and, when it reaches an anchor, the chain.
struct Signature {
  UniquePtr<X509> leaf;
  UniquePtr<STACK_OF(X509)> certificates;  // all the signature carries
  UniquePtr<STACK_OF(X509)> chain;         // leaf to anchor, when anchored
  bool anchored = false;
  std::string encapsulated;  // the signed content of a non-detached signature

  // Leaf first; the verified chain, else the carried certificates in issuer order.
  std::vector<X509*> orderedChain() const {
    std::vector<X509*> out;
    if (chain) {
      for (int i = 0; i < sk_X509_num(chain.get()); ++i)
        out.push_back(sk_X509_value(chain.get(), i));
      return out;
    }
    X509* current = leaf.get();
    while (current && out.size() < 16) {
      out.push_back(current);
      if (X509_check_issued(current, current) == X509_V_OK) break;
      X509* issuer = nullptr;
      for (int i = 0; i < sk_X509_num(certificates.get()); ++i) {
        X509* candidate = sk_X509_value(certificates.get(), i);
        if (candidate != current && X509_check_issued(candidate, current) == X509_V_OK) {
          issuer = candidate;
          break;
        }
      }
      current = issuer;
    }
    return out;
  }
};

// The signer is found by issuer and serial, and the certificates a signature carries are not
// signed, so anyone could swap in another encoding of the leaf (an ECDSA signature has two) or
// another certificate of the same key. A signed attribute holding the hash of the signer's
// certificate (ESS signing-certificate-v2) pins the very certificate the signer used.
void requireBoundSigner(CMS_SignerInfo* signer, X509* leaf) {
  const int index = CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, -1);
  if (index < 0 ||
      CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, index) >= 0 ||
      CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificate, -1) >= 0) {
    raise(Status::kSignatureInvalid, "the signature does not name its signer's certificate");
  }
  const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
  if (!value || value->type != V_ASN1_SEQUENCE ||
      X509_ATTRIBUTE_count(CMS_signed_get_attr(signer, index)) != 1) {
    raise(Status::kSignatureInvalid, "the signature does not name its signer's certificate");
  }
  const unsigned char* cursor = ASN1_STRING_get0_data(value->value.sequence);
  const long length = ASN1_STRING_length(value->value.sequence);
  UniquePtr<ESS_SIGNING_CERT_V2> bound(d2i_ESS_SIGNING_CERT_V2(nullptr, &cursor, length));
  UniquePtr<STACK_OF(X509)> signerOnly(sk_X509_new_null());
  if (!bound || !signerOnly || sk_X509_push(signerOnly.get(), leaf) <= 0) {
    raiseOpenSsl(Status::kSignatureInvalid, "the signature does not name its signer's certificate");
  }
  X509_up_ref(leaf);  // the stack frees what it holds
  if (OSSL_ESS_check_signing_certs(nullptr, bound.get(), signerOnly.get(), 1) != 1) {
    raiseOpenSsl(Status::kSignatureInvalid,
                 "the signer's certificate is not the one it signed with");
  }
}

// Checks a DER CMS SignedData: one signer, its signature over the content (detached when
// detachedContent is given, else encapsulated), and its chain to the platform's anchors. Chain
// failure leaves anchored == false; every other failure throws kSignatureInvalid.
Signature verifySignature(std::string_view der, const std::string* detachedContent,
                          X509_STORE* anchors) {
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
  UniquePtr<CMS_ContentInfo> cms(
      d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cms || cursor != reinterpret_cast<const unsigned char*>(der.data()) + der.size() ||
      OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    raiseOpenSsl(Status::kSignatureInvalid, "the signature is damaged");
  }
  if ((CMS_is_detached(cms.get()) == 1) != (detachedContent != nullptr)) {
    raise(Status::kSignatureInvalid, "the signature is damaged");
  }
  if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) != 1) {
    raise(Status::kSignatureInvalid, "the signature must have exactly one signer");
  }
  // CMS_verify copies a memory BIO's content into a second one, which OpenSSL 3.0 leaks when the
  // signature's digest cannot be set up; behind a buffer the content is read where it is.
  UniquePtr<BIO> content;
  if (detachedContent) {
    UniquePtr<BIO> memory = memoryBio(*detachedContent);
    content.reset(BIO_new(BIO_f_buffer()));
    if (!content) raiseOpenSsl(Status::kFailed, "out of memory");
    BIO_push(content.get(), memory.release());
  }
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  if (!out) raiseOpenSsl(Status::kFailed, "out of memory");
  // The chain is checked below against the anchors alone: a one-shot verification with a store
  // would also apply the e-mail purpose, which code-signing certificates do not have.
  if (CMS_verify(cms.get(), nullptr, nullptr, content.get(), out.get(),
                 CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    raiseOpenSsl(Status::kSignatureInvalid, "the signature does not match the signed content");
  }
  Signature signature;
  {
    STACK_OF(X509)* raw = CMS_get0_signers(cms.get());
    if (!raw || sk_X509_num(raw) != 1) {
      sk_X509_free(raw);
      raise(Status::kSignatureInvalid, "the signer's certificate is missing");
    }
    X509* leaf = sk_X509_value(raw, 0);
    X509_up_ref(leaf);
    signature.leaf.reset(leaf);
    sk_X509_free(raw);  // the stack only; its certificates belong to the CMS
  }
  requireBoundSigner(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0),
                     signature.leaf.get());
  signature.certificates.reset(CMS_get1_certs(cms.get()));
  if (!signature.certificates) signature.certificates.reset(sk_X509_new_null());
  if (!detachedContent) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    if (size > 0) signature.encapsulated.assign(data, static_cast<std::size_t>(size));
  }

  UniquePtr<X509_STORE_CTX> context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), anchors, signature.leaf.get(),
                                      signature.certificates.get()) != 1) {
    raiseOpenSsl(Status::kFailed, "cannot check the certificate chain");
  }
  // Code stays valid after its certificate expires; only the anchors decide.
  X509_VERIFY_PARAM_set_flags(X509_STORE_CTX_get0_param(context.get()), X509_V_FLAG_NO_CHECK_TIME);
  if (X509_verify_cert(context.get()) == 1) {
    signature.anchored = true;
    signature.chain.reset(X509_STORE_CTX_get1_chain(context.get()));
  }
  ERR_clear_error();
  return signature;
}

// SHA-256 (hex) of a certificate's TBSCertificate as encoded: the part its issuer's signature
// covers, so unlike the whole certificate's encoding nobody but the issuer can vary it.
std::string signedBodySha256(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0) raiseOpenSsl(Status::kFailed, "cannot encode a certificate");
  UniquePtr<unsigned char> owner(der);
  const unsigned char* cursor = der;
  long contentLength = 0;
  int tag = 0;
  int objectClass = 0;
  // Into the outer SEQUENCE, then over the first element, the TBSCertificate, header included.
  if (ASN1_get_object(&cursor, &contentLength, &tag, &objectClass, length) & 0x80) {
    raiseOpenSsl(Status::kFailed, "cannot read a certificate");
  }
  const unsigned char* body = cursor;
  const long remaining = length - (cursor - der);
  if ((ASN1_get_object(&cursor, &contentLength, &tag, &objectClass, remaining) & 0x80) ||
      tag != V_ASN1_SEQUENCE) {
    raiseOpenSsl(Status::kFailed, "cannot read a certificate");
  }
  const std::size_t bodySize = static_cast<std::size_t>(cursor - body + contentLength);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(body, bodySize, digest, &size, EVP_sha256(), nullptr) != 1) {
    raiseOpenSsl(Status::kFailed, "SHA-256 failed");
  }
  return hex(digest, size);
}

SignerFacts factsOf(const Signature& signature, std::string identifier) {
  SignerFacts facts;
  facts.identifier = std::move(identifier);
  facts.anchored = signature.anchored;
  facts.chain = signature.orderedChain();
  return facts;
}

void requireTrustAndRequirement(const Signature& signature, const std::string& identifier,
                                const Requirement* requirement) {
  if (!signature.anchored) {
    raise(Status::kUntrusted, "the signing certificate's chain does not end at a trust anchor");
  }
  if (requirement && !requirement->isSatisfiedBy(factsOf(signature, identifier))) {
    raise(Status::kRequirementUnsatisfied, "the code does not satisfy the requirement");
  }
}

SigningInformation informationOf(const Signature& signature, std::string identifier) {
  SigningInformation info;
  info.identifier = std::move(identifier);
  for (X509* certificate : signature.orderedChain())
    info.authorities.push_back(commonName(certificate));
  const X509_NAME* name = X509_get_subject_name(signature.leaf.get());
  const int index = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, -1);
  if (index >= 0) {
    unsigned char* utf8 = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (length >= 0) {
      UniquePtr<unsigned char> owner(utf8);
      info.team =
          std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(signature.leaf.get(), EVP_sha256(), digest, &size) == 1) {
    info.leafSha256 = hex(digest, size);
  }
  info.leafSignedBodySha256 = signedBodySha256(signature.leaf.get());
  return info;
}

// --- Bundle seals ----------------------------------------------------------------------------

struct SealEntry {
  enum class Kind { kFile, kSymlink, kNested, kFolder };
  Kind kind = Kind::kFile;
  std::string digest;           // kFile: SHA-256 of the content
  std::string target;           // kSymlink
  std::string resourcesDigest;  // kNested: SHA-256 of its CodeResources
  std::string signatureDigest;  // kNested: SHA-256 of its CodeSignature
  bool seen = false;
};

struct Seal {
  std::string identifier;
  std::unordered_map<std::string, SealEntry> entries;
  Signature signature;
};

// The property list library builds and frees its trees recursively, so a list nested a few
// hundred thousand levels deep exhausts the stack inside it, before its result could be judged;
// and a signed list is read before its signer is trusted. Signed lists are written as plain XML
// (no binary form, comments, character data sections or processing instructions after the
// prolog), so anything else is refused and the nesting of the rest is counted first.
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

// Checks the seal's signature against anchors, then parses the seal. Throws kUnsigned when there
// is none.
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

// One entry found below a bundle. fd is an open descriptor for regular files only.
struct FoundEntry {
  SealEntry::Kind kind;
  const std::string& path;  // relative to the bundle
  int dirFd;                // the folder that holds it
  const char* name;
};

using Visitor = std::function<void(const FoundEntry&)>;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

bool isNestedBundleFolder(const std::string& parent) {
  return parent == "Contents/PlugIns" || parent == "Contents/XPCServices";
}

// Visits every entry below a bundle, depth first, without following symbolic links: a folder
// before what it holds. Nested bundles are visited as one entry; the seal's folder and its two
// files are skipped, though not what else the folder holds. Anything that is not a folder, a
// regular file or a symbolic link is refused.
void walk(int dirFd, const std::string& prefix, int depth, const Visitor& visit) {
  if (depth > kMaximumFolderDepth) raise(Status::kSealBroken, "folders nested too deeply");
  UniqueFd listing(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing) raise(Status::kFailed, "cannot list " + prefix + ": " + std::strerror(errno));
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing.get()));
  if (!dir) raise(Status::kFailed, "cannot list " + prefix + ": " + std::strerror(errno));
  listing.release();
  const std::string parent = prefix.empty() ? std::string() : prefix.substr(0, prefix.size() - 1);
  while (true) {
    errno = 0;
    const dirent* item = ::readdir(dir.get());
    if (!item) {
      if (errno != 0) raise(Status::kFailed, "cannot list " + prefix + ": " + std::strerror(errno));
      break;
    }
    const char* name = item->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    const std::string path = prefix + name;
    if (path == kResourcesPath || path == kSignaturePath) continue;
    struct stat info {};
    if (::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      raise(Status::kFailed, "cannot examine " + path + ": " + std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
      if (isNestedBundleFolder(parent)) {
        visit({SealEntry::Kind::kNested, path, dirFd, name});
        continue;
      }
      // The seal folder is made by signing, so a first signing could not record it.
      if (path != kSealFolder) visit({SealEntry::Kind::kFolder, path, dirFd, name});
      UniqueFd child(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!child) raise(Status::kFailed, "cannot open " + path + ": " + std::strerror(errno));
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
  if (n < 0) raise(Status::kFailed, "cannot read link " + path + ": " + std::strerror(errno));
  if (static_cast<std::size_t>(n) >= target.size())
    raise(Status::kSealBroken, "link too long: " + path);
  target.resize(static_cast<std::size_t>(n));
  return target;
}

std::string hashRegular(Hasher& hasher, int dirFd, const char* name, const std::string& path) {
  UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) raise(Status::kSealBroken, "cannot open " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    raise(Status::kSealBroken, path + " changed while it was examined");
  }
  return hasher.digest(fd.get());
}

struct NestedDigests {
  std::string resources;
  std::string signature;
};

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

UniqueFd openCodeFolder(const fs::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) raise(Status::kNoCode, path.string() + ": " + std::strerror(errno));
  return fd;
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
  walk(bundleFd, "", 0, [&](const FoundEntry& found) {
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
        if (hashRegular(hasher, found.dirFd, found.name, found.path) != entry.digest) {
          raise(Status::kSealBroken, "a sealed resource is modified: " + found.path);
        }
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
        if (!nestedFd) raise(Status::kNestedCodeInvalid, std::strerror(errno));
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

SigningInformation checkBundle(const fs::path& path, Flags flags, const Requirement* requirement) {
  UniqueFd fd = openCodeFolder(path);
  return checkBundleAt(fd.get(), path, flags, requirement);
}

// --- Flat files ------------------------------------------------------------------------------

struct Trailer {
  std::uint64_t contentLength = 0;
  std::string signature;  // CMS DER
};

std::uint64_t fileSize(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    raise(Status::kFailed, std::string("stat failed: ") + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) raise(Status::kNoCode, "not a regular file");
  return static_cast<std::uint64_t>(info.st_size);
}

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

// The trailer of a signed flat file, or nothing when the file carries no signature.
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

struct FlatDirectory {
  std::string identifier;
  std::uint64_t size = 0;
  std::string digest;
};

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

struct FlatSignature {
  FlatDirectory directory;
  Signature signature;
  std::uint64_t contentLength = 0;
};

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

// --- Signing ---------------------------------------------------------------------------------

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
      raise(Status::kFailed, std::string("cannot truncate: ") + std::strerror(errno));
    }
    std::size_t done = 0;
    while (done < trailer.size()) {
      const ssize_t n = ::pwrite(fd.get(), trailer.data() + done, trailer.size() - done,
                                 static_cast<off_t>(length + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) raise(Status::kFailed, std::string("cannot write: ") + std::strerror(errno));
      done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0)
      raise(Status::kFailed, std::string("fsync: ") + std::strerror(errno));
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

// --- StaticCode ------------------------------------------------------------------------------

StaticCode StaticCode::createWithPath(const fs::path& path, Flags /*flags*/) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) {
    raise(Status::kNoCode, path.string() + ": " + std::strerror(errno ? errno : ENOENT));
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

// --- Code (a running process) ----------------------------------------------------------------

namespace {

bool processAlive(int pidfd) {
  return pidfd < 0 || ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

std::string readProcessExecutable(int processFd) {
  std::string target(4096, '\0');
  const ssize_t n = ::readlinkat(processFd, "exe", target.data(), target.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
    raise(Status::kNoCode, "no code for the process");
  }
  target.resize(static_cast<std::size_t>(n));
  return target;
}

// A file of /proc/<pid>, whole; reading one of a process that has ended fails.
std::string readProcessFile(int processFd, const char* name) {
  constexpr std::size_t kLimit = 64 << 20;
  UniqueFd fd(::openat(processFd, name, O_RDONLY | O_CLOEXEC));
  if (!fd) raise(Status::kNoCode, std::string("cannot read the process's ") + name);
  std::string out;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) raise(Status::kNoCode, std::string("cannot read the process's ") + name);
    if (n == 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
    if (out.size() > kLimit) raise(Status::kRuntimeUntrusted, "the process maps too much");
  }
}

// No process of another user can have put a file below a folder whose every folder from / down
// is root's and writable by nobody else.
bool inRootOwnedFolders(const std::string& path) {
  std::size_t slash = 0;
  while (slash != std::string::npos) {
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != 0 ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      return false;
    }
    slash = path.find('/', slash + 1);
  }
  return true;
}

// The stand-in for a hardened runtime: a process that is traced, or that runs code a process of
// its user could have written, may not be running the code that was signed. Executable mappings
// must come from the main executable, from files the seal holds unchanged, or from files in
// root-owned folders; the kernel's own ([vdso], [vsyscall]) pass. Anonymous executable memory
// does not: our code never makes any, and injected code lives there.
void requireUntamperedRuntime(int processFd, const fs::path& bundlePath,
                              const std::string& executableName, int bundleFd, const Seal& seal,
                              Hasher& hasher) {
  const std::string status = readProcessFile(processFd, "status");
  const std::size_t tracer = status.find("\nTracerPid:");
  if (tracer == std::string::npos) raise(Status::kRuntimeUntrusted, "cannot tell the tracer");
  const std::size_t value = status.find_first_not_of(" \t", tracer + 11);
  if (value == std::string::npos || status[value] != '0' ||
      std::isdigit(static_cast<unsigned char>(status[value + 1]))) {
    raise(Status::kRuntimeUntrusted, "the process is being traced");
  }
  const std::string executable = (bundlePath / "Contents/MacOS" / executableName).string();
  const std::string bundlePrefix = bundlePath.string() + "/";
  const std::string maps = readProcessFile(processFd, "maps");
  std::size_t lineStart = 0;
  while (lineStart < maps.size()) {
    std::size_t lineEnd = maps.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = maps.size();
    const std::string_view line(maps.data() + lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    // address perms offset device inode [path]; the path may hold spaces.
    std::size_t at = 0;
    std::string_view fields[5];
    for (std::string_view& field : fields) {
      at = line.find_first_not_of(' ', at);
      const std::size_t end = at == std::string_view::npos ? at : line.find(' ', at);
      if (at == std::string_view::npos) raise(Status::kRuntimeUntrusted, "unreadable mappings");
      field = line.substr(at, end == std::string_view::npos ? end : end - at);
      at = end;
    }
    if (fields[1].size() < 3 || fields[1][2] != 'x') continue;
    at = at == std::string_view::npos ? at : line.find_first_not_of(' ', at);
    const std::string path(at == std::string_view::npos ? std::string_view() : line.substr(at));
    if (path == "[vdso]" || path == "[vsyscall]" || path == executable) continue;
    if (!path.starts_with("/") || path.ends_with(" (deleted)")) {
      raise(Status::kRuntimeUntrusted, "the process runs code that is not from a file: " + path);
    }
    if (path.starts_with(bundlePrefix)) {
      const std::string relative = path.substr(bundlePrefix.size());
      const auto sealed = seal.entries.find(relative);
      UniqueFd fd = openBeneath(bundleFd, relative, O_RDONLY | O_NONBLOCK);
      if (sealed == seal.entries.end() || sealed->second.kind != SealEntry::Kind::kFile || !fd ||
          hasher.digest(fd.get()) != sealed->second.digest) {
        raise(Status::kRuntimeUntrusted, "the process runs code that is not sealed: " + path);
      }
    } else if (!inRootOwnedFolders(path)) {
      raise(Status::kRuntimeUntrusted, "the process runs code from outside its bundle: " + path);
    }
  }
}

// What a running process's bundle holds on disk, verified: the seal's signature and chain, and
// the Info.plist and the executable the process runs as sealed. The outcome depends on nothing
// but the content of those files and of the anchors, so it is kept, keyed on their identities
// (see FileIdentity), for the next message of a process running the same code; what describes the
// process itself (its executable, tracer and mappings) is still examined every time.
struct VerifiedBundle {
  std::string bundlePath;
  std::string executableName;
  std::array<FileIdentity, 5> files;  // CodeResources, CodeSignature, Info.plist, executable,
                                      // anchors
  std::shared_ptr<const Seal> seal;
};

class VerifiedBundles {
 public:
  std::shared_ptr<const Seal> find(const VerifiedBundle& key) {
    const std::lock_guard lock(mutex_);
    for (const VerifiedBundle& entry : entries_) {
      if (entry.bundlePath == key.bundlePath && entry.executableName == key.executableName &&
          entry.files == key.files) {
        return entry.seal;
      }
    }
    return nullptr;
  }
  void add(VerifiedBundle verified) {
    const std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const VerifiedBundle& entry) {
      return entry.bundlePath == verified.bundlePath &&
             entry.executableName == verified.executableName;
    });
    if (entries_.size() >= kMaximumEntries) entries_.pop_front();
    entries_.push_back(std::move(verified));
  }
  // One verification at a time: a check that arrives while its bundle is being verified ahead of
  // it (Code::prepareForBundle) waits for that outcome instead of doing the work twice.
  std::mutex verifying;

 private:
  static constexpr std::size_t kMaximumEntries = 8;
  std::mutex mutex_;
  std::deque<VerifiedBundle> entries_;  // the most recent last
};

std::shared_ptr<const Seal> verifiedBundleOf(const fs::path& bundlePath,
                                             const std::string& executableName, int executableFd,
                                             int bundleFd) {
  static VerifiedBundles& cache =
      *new VerifiedBundles;  // never destroyed: threads may outlive main
  const timespec before = coarseNow();
  const OpenedFile resources = openRegularBeneath(bundleFd, kResourcesPath, kMaximumResourcesSize);
  const OpenedFile signature = openRegularBeneath(bundleFd, kSignaturePath, kMaximumSignatureSize);
  const OpenedFile info =
      openRegularBeneath(bundleFd, "Contents/Info.plist", kMaximumInfoPlistSize);
  struct stat executable {};
  if (::fstat(executableFd, &executable) != 0) raise(Status::kNoCode, "the process has ended");
  Anchors anchors = trustAnchors();
  const std::optional<FileIdentity> identities[] = {
      resources.fd ? identityOf(resources.fd.get(), resources.info, before) : std::nullopt,
      signature.fd ? identityOf(signature.fd.get(), signature.info, before) : std::nullopt,
      info.fd ? identityOf(info.fd.get(), info.info, before) : std::nullopt,
      identityOf(executableFd, executable, before), anchors.identity};
  std::optional<VerifiedBundle> key;
  if (std::all_of(std::begin(identities), std::end(identities),
                  [](const auto& identity) { return identity.has_value(); })) {
    key = VerifiedBundle{bundlePath.string(), executableName, {}, nullptr};
    for (std::size_t i = 0; i < key->files.size(); ++i) key->files[i] = *identities[i];
    if (auto seal = cache.find(*key)) return seal;
  }
  const std::lock_guard verifying(cache.verifying);
  if (key) {
    if (auto seal = cache.find(*key)) return seal;
  }
  auto seal =
      std::make_shared<Seal>(sealOf(readOpened(resources, kResourcesPath),
                                    readOpened(signature, kSignaturePath), anchors.store.get()));
  if (!seal->signature.anchored) {
    raise(Status::kUntrusted, "the signing certificate's chain does not end at a trust anchor");
  }
  Hasher hasher;
  const FileRead infoRead = readOpened(info, "Contents/Info.plist");
  const auto sealedInfo = seal->entries.find("Contents/Info.plist");
  if (!infoRead.exists || sealedInfo == seal->entries.end() ||
      sealedInfo->second.kind != SealEntry::Kind::kFile ||
      hasher.digest(infoRead.bytes) != sealedInfo->second.digest) {
    raise(Status::kSealBroken, "Info.plist is not as sealed");
  }
  const std::string* sealedName = nullptr;
  plist::Value root;
  try {
    root = plist::parse(infoRead.bytes);
    if (const plist::Dictionary* top = root.dictionary()) {
      sealedName = plist::stringForKey(*top, "CFBundleExecutable");
    }
  } catch (const plist::PropertyListError&) {
  }
  if (!sealedName || *sealedName != executableName) {
    raise(Status::kSealBroken, "the process does not run the bundle's main executable");
  }
  const auto sealedExecutable = seal->entries.find("Contents/MacOS/" + executableName);
  if (sealedExecutable == seal->entries.end() ||
      sealedExecutable->second.kind != SealEntry::Kind::kFile ||
      hasher.digest(executableFd) != sealedExecutable->second.digest) {
    raise(Status::kSealBroken, "the running executable is not as sealed");
  }
  if (key) {
    key->seal = seal;
    cache.add(std::move(*key));
  }
  return seal;
}

}  // namespace

Code Code::createWithPeer(const PeerIdentity& peer, Flags /*flags*/) {
  if (peer.pid <= 0) raise(Status::kNoCode, "no such process");
  // Everything about the process is read through this folder, which refuses reads once the
  // process has ended; the pidfd shows it still lived after the folder was opened, so the number
  // had not passed to another process.
  UniqueFd process(
      ::open(("/proc/" + std::to_string(peer.pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!process || !processAlive(peer.pidfd)) {
    raise(Status::kNoCode, "no such process: " + std::to_string(peer.pid));
  }
  const std::string executable = readProcessExecutable(process.get());
  // A replaced or deleted executable is no longer the code that was signed.
  if (executable.ends_with(" (deleted)") || !executable.starts_with("/")) {
    raise(Status::kNoCode, "the process's executable is gone: " + executable);
  }
  const fs::path path(executable);
  const fs::path macos = path.parent_path();
  const fs::path contents = macos.parent_path();
  if (macos.filename() != "MacOS" || contents.filename() != "Contents" ||
      contents.parent_path().empty()) {
    raise(Status::kNoCode, "the process does not run a bundle's executable: " + executable);
  }
  UniqueFd fd(::openat(process.get(), "exe", O_RDONLY | O_CLOEXEC));
  if (!fd) raise(Status::kNoCode, "cannot open the executable of the process");
  // The executable opened must be the one named.
  if (readProcessExecutable(process.get()) != executable) {
    raise(Status::kNoCode, "the process changed while it was examined");
  }
  return Code(contents.parent_path(), path.filename().string(), std::move(fd), std::move(process),
              peer.pidfd);
}

void Code::checkValidity(Flags /*flags*/, const Requirement* requirement) const {
  UniqueFd bundleFd = openCodeFolder(bundlePath_);
  const std::shared_ptr<const Seal> seal =
      verifiedBundleOf(bundlePath_, executableName_, executable_.get(), bundleFd.get());
  Hasher hasher;
  requireUntamperedRuntime(process_.get(), bundlePath_, executableName_, bundleFd.get(), *seal,
                           hasher);
  if (!processAlive(pidfd_)) raise(Status::kNoCode, "the process has ended");
  requireTrustAndRequirement(seal->signature, seal->identifier, requirement);
}

void Code::prepareForBundle(const fs::path& bundlePath) noexcept {
  try {
    const fs::path real = fs::canonical(bundlePath);
    const UniqueFd bundleFd = openCodeFolder(real);
    const FileRead info = readBeneath(bundleFd.get(), "Contents/Info.plist", kMaximumInfoPlistSize);
    const plist::Value root = plist::parse(info.bytes);
    const plist::Dictionary* top = root.dictionary();
    const std::string* name = top ? plist::stringForKey(*top, "CFBundleExecutable") : nullptr;
    if (!name || name->empty() || name->find('/') != std::string::npos) return;
    const UniqueFd executable =
        openBeneath(bundleFd.get(), "Contents/MacOS/" + *name, O_RDONLY | O_NONBLOCK);
    if (!executable) return;
    verifiedBundleOf(real, *name, executable.get(), bundleFd.get());
  } catch (const std::exception&) {
    // The check of the process itself reports what is wrong.
  }
}

// --- Paths -----------------------------------------------------------------------------------

std::string certificateSignedBodySha256(std::string_view pem) {
  UniquePtr<BIO> bio = memoryBio(pem);
  UniquePtr<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!certificate) raiseOpenSsl(Status::kFailed, "no certificate");
  return signedBodySha256(certificate.get());
}

std::uint64_t flatFileContentLength(const fs::path& path) {
  UniqueFd fd = openFlatFile(path, O_RDONLY);
  const std::optional<Trailer> trailer = readTrailer(fd.get(), false);
  return trailer ? trailer->contentLength : fileSize(fd.get());
}

fs::path trustAnchorsPath() { return env().platformRoot() / "System/Library/Security/anchors.pem"; }

fs::path revokedCertificatesPath() {
  return env().platformRoot() / "System/Library/Security/revoked.txt";
}

}  // namespace platform::codesign
