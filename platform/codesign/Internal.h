// What the parts of the code-signing stand-in share: the limits on what is read whole, the readers
// of files below a bundle, hashing, signatures, seals and flat-file trailers. Only the files of
// this folder (and their tests) include it; the rest of the system sees
// platform/codesign/CodeSigning.h alone.
#pragma once

#include <openssl/cms.h>
#include <openssl/obj_mac.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <time.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/codesign/CodeSigning.h"
#include "platform/crypto/OpenSsl.h"
#include "platform/diskimage/FlatFileTrailer.h"
#include "platform/env/Errors.h"
#include "platform/env/Fd.h"
#include "platform/formats/PropertyList.h"

namespace platform::codesign {

// The subject attributes a requirement can name: subject.CN, O, OU, C, L and ST.
inline constexpr int kRequirementSubjectNids[] = {
    NID_commonName,  NID_organizationName, NID_organizationalUnitName,
    NID_countryName, NID_localityName,     NID_stateOrProvinceName};

// What a requirement can ask of one certificate, read out of it once, so that the outcome of a
// verification can be kept and judged again without the certificate.
struct CertificateFacts {
  std::vector<std::pair<int, std::string>> subject;  // (NID, UTF-8 value): the first of each
                                                     // attribute above that the subject holds
  std::vector<std::string> extensions;               // the extensions' object identifiers, dotted
  bool operator==(const CertificateFacts&) const = default;
};

// What a validated signature shows, for a requirement to judge.
struct SignerFacts {
  std::string identifier;
  bool anchored = false;                // the chain ends at a trust anchor
  std::vector<CertificateFacts> chain;  // leaf first, then its issuers
  bool operator==(const SignerFacts&) const = default;
};

// An object identifier in dotted form ("1.2.840..."), never a name; empty when it has none.
std::string dottedObjectIdentifier(const ASN1_OBJECT* object);

// The facts of one certificate.
CertificateFacts certificateFacts(const X509* certificate);

namespace fs = std::filesystem;
using openssl::UniquePtr;
using openssl::upRef;

inline constexpr const char* kSealFolder = "Contents/_CodeSignature";
inline constexpr const char* kResourcesPath = "Contents/_CodeSignature/CodeResources";
inline constexpr const char* kSignaturePath = "Contents/_CodeSignature/CodeSignature";
// Upper bounds for what is read whole into memory, so a hostile file cannot exhaust it (the
// signature's, kMaximumSignatureSize, is in FlatFileTrailer.h).
inline constexpr std::uint64_t kMaximumResourcesSize = 64 << 20;
inline constexpr std::uint64_t kMaximumInfoPlistSize = 1 << 20;

[[noreturn]] inline void raise(Status status, const std::string& message) {
  throw CodeSigningError(status, message);
}

[[noreturn]] inline void raiseOpenSsl(Status status, const std::string& what) {
  const std::string detail = drainOpenSslErrors();
  raise(status, detail.empty() ? what : what + ": " + detail);
}

// --- Files (Files.cc, SealedFileChecks.cc)
// ------------------------------------------------------------------------

// Opens a path below dirFd without following a symbolic link anywhere along it.
UniqueFd openBeneath(int dirFd, const std::string& relative, int flags);

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

OpenedFile openRegularBeneath(int dirFd, const std::string& relative, std::uint64_t limit);
FileRead readOpened(const OpenedFile& file, const std::string& relative);

// The whole of a small regular file below dirFd; exists == false when it is not there.
FileRead readBeneath(int dirFd, const std::string& relative, std::uint64_t limit);

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

timespec coarseNow();

// The identity of an open file, or nullopt when it may not serve as a key (see FileIdentity).
std::optional<FileIdentity> identityOf(int fd, const struct stat& info, const timespec& before);

// SHA-256 of whole files or ranges, with one buffer and one digest context for a whole check.
class Hasher {
 public:
  Hasher();

  // Hashes length bytes from offset 0 (all of it when length is empty).
  std::string digest(int fd, std::optional<std::uint64_t> length = std::nullopt);
  std::string digest(std::string_view bytes);

 private:
  UniquePtr<EVP_MD> md_;
  UniquePtr<EVP_MD_CTX> context_;
  std::unique_ptr<char[]> buffer_;
};

// Compares open files with their sealed digests on up to every core while the caller walks on,
// and ends as one thread checking in the caller's order would: with the failure of the earliest
// file, or the caller's own when no earlier file failed. Holds a few files open per thread; every
// thread it starts has ended once finish() returns or it is destroyed. One caller thread only.
class SealedFileChecks {
 public:
  SealedFileChecks();
  SealedFileChecks(const SealedFileChecks&) = delete;
  SealedFileChecks& operator=(const SealedFileChecks&) = delete;
  ~SealedFileChecks();

  // Queues the check that fd holds content with this SHA-256; path names the file in a failure.
  // Once a check has failed it throws instead, to stop the caller: nothing later counts.
  void add(UniqueFd fd, std::string digest, std::string path);
  // The caller's own failure, ordered after every check queued so far.
  void fail(std::exception_ptr failure);
  // Waits for the queued checks, then throws the earliest failure, if any.
  void finish();

 private:
  struct Job {
    std::size_t order = 0;
    UniqueFd fd;
    std::string digest;
    std::string path;
  };
  void work();
  void runNext(std::unique_lock<std::mutex>& lock, std::optional<Hasher>& hasher);
  void record(std::size_t order, std::exception_ptr failure);
  void stop() noexcept;

  std::size_t threads_;
  std::mutex mutex_;
  std::condition_variable added_;  // a job was queued, or closing_ was set
  std::condition_variable taken_;  // a job was taken or done
  std::deque<Job> jobs_;
  std::size_t queued_ = 0;
  std::size_t running_ = 0;
  bool closing_ = false;
  std::size_t firstFailure_ = SIZE_MAX;
  std::exception_ptr failure_;
  std::optional<Hasher> hasher_;  // the caller's, used only while no thread could be started
  std::vector<std::thread> workers_;
};

// --- Certificates and signatures (Certificates.cc) -------------------------------------------

UniquePtr<BIO> memoryBio(std::string_view bytes);

// The trust anchors, with the identity of the file they came from (nullopt: not to be cached).
struct Anchors {
  UniquePtr<X509_STORE> store;
  std::optional<FileIdentity> identity;
};

// The anchors as the file holds them now, parsed again only when the file changed (a filled store
// is safe to share between threads). No file: nothing is trusted.
Anchors trustAnchors();
// The identity of the anchors' file as it is now, without parsing it (nullopt: not to be cached).
std::optional<FileIdentity> trustAnchorsIdentity(const timespec& before);

// A signature whose cryptography holds, with its signer and, when it reaches an anchor, the chain.
struct Signature {
  UniquePtr<X509> leaf;
  UniquePtr<STACK_OF(X509)> certificates;  // all the signature carries
  UniquePtr<STACK_OF(X509)> chain;         // leaf to anchor, when anchored
  bool anchored = false;
  std::string encapsulated;  // the signed content of a non-detached signature

  // Leaf first; the verified chain, else the carried certificates in issuer order.
  std::vector<X509*> orderedChain() const;
};

// Checks a DER CMS SignedData: one signer, its signature over the content (detached when
// detachedContent is given, else encapsulated), and its chain to the platform's anchors. Chain
// failure leaves anchored == false; every other failure throws kSignatureInvalid.
Signature verifySignature(std::string_view der, const std::string* detachedContent,
                          X509_STORE* anchors);

// SHA-256 (hex) of a certificate's TBSCertificate as encoded: the part its issuer's signature
// covers, so unlike the whole certificate's encoding nobody but the issuer can vary it.
std::string signedBodySha256(X509* certificate);

SignerFacts factsOf(const Signature& signature, std::string identifier);
void requireTrustAndRequirement(const SignerFacts& signer, const Requirement* requirement);
void requireTrustAndRequirement(const Signature& signature, const std::string& identifier,
                                const Requirement* requirement);
SigningInformation informationOf(const Signature& signature, std::string identifier);

// --- Bundle seals (BundleSeal.cc) ------------------------------------------------------------

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
plist::Value parseSignedList(std::string_view bytes);
const plist::Data* dataForKey(const plist::Dictionary& dictionary, const std::string& key);

// Checks the seal's signature against anchors, then parses the seal. Throws kUnsigned when there
// is none.
Seal sealOf(const FileRead& resources, const FileRead& signatureFile, X509_STORE* anchors);
Seal readSeal(int bundleFd);

// One entry found below a bundle. fd is an open descriptor for regular files only.
struct FoundEntry {
  SealEntry::Kind kind;
  const std::string& path;  // relative to the bundle
  int dirFd;                // the folder that holds it
  const char* name;
};

using Visitor = std::function<void(const FoundEntry&)>;

// Visits every entry below a bundle, depth first, without following symbolic links: a folder
// before what it holds. Nested bundles are visited as one entry; the seal's folder and its two
// files are skipped, though not what else the folder holds. Anything that is not a folder, a
// regular file or a symbolic link is refused.
void walk(int dirFd, const std::string& prefix, int depth, const Visitor& visit);
std::string readSymlink(int dirFd, const char* name, const std::string& path);
// A regular file in dirFd, opened for hashing; kSealBroken when it cannot be.
UniqueFd openRegular(int dirFd, const char* name, const std::string& path);
std::string hashRegular(Hasher& hasher, int dirFd, const char* name, const std::string& path);

struct NestedDigests {
  std::string resources;
  std::string signature;
};

NestedDigests nestedDigests(Hasher& hasher, int dirFd, const char* name, const std::string& path);
UniqueFd openCodeFolder(const fs::path& path);
SigningInformation checkBundle(const fs::path& path, Flags flags, const Requirement* requirement);

// --- Running code (RunningCode.cc, VerifiedRecords.cc) --------------------------------------

// What the check of a running process needs of its bundle's files once they are verified: whose
// signature the bundle carries, and the digest the seal gives each regular file.
struct VerifiedCode {
  SignerFacts signer;
  std::unordered_map<std::string, std::string> sealedFiles;  // path in the bundle -> SHA-256
  bool operator==(const VerifiedCode&) const = default;
};

// The identities of the files that outcome depends on, in this order: CodeResources,
// CodeSignature, Info.plist, the executable the process runs, the trust anchors.
struct VerifiedBundleKey {
  std::string bundlePath;
  std::string executableName;
  std::array<FileIdentity, 5> files;
};

// Records of verified bundles, shared by the user's processes (a new native-messaging host
// checks the updater's reply with the outcome an earlier host or the updater recorded). They are
// kept in "bramlow-codesign" in the user's own folder (UserFolder.h), one file each, and believed
// only when the folder and the file are the user's and nobody else can write them, and when the
// record's key equals the one given whole. A record that cannot be read as written is ignored,
// and replaced by the next store. Neither ever fails: without a record the bundle is verified
// again.
std::optional<VerifiedCode> loadVerifiedRecord(const VerifiedBundleKey& key) noexcept;
void storeVerifiedRecord(const VerifiedBundleKey& key, const VerifiedCode& code) noexcept;

// Where the mappings of a running process are read from.
enum class MappingSource { kKernelWhereItCan, kText };
// The path of each executable mapping of the process whose /proc folder processFd is, in address
// order: "" for anonymous memory, "[vdso]" and the like for the kernel's own ("[vsyscall]" only
// from the text). Asked of the kernel one executable mapping at a time where it can answer: that
// spares it formatting every mapping of a process that links many libraries (hundreds) only for
// the few executable ones to be kept, a cost paid in full by each new process that checks it.
// Read from the text of the maps otherwise.
std::vector<std::string> executableMappings(
    int processFd, MappingSource source = MappingSource::kKernelWhereItCan);

// --- Flat files (FlatFile.cc) ----------------------------------------------------------------

// The trailer itself (Trailer, readTrailer, fileSize) is in platform/diskimage/FlatFileTrailer.h.
UniqueFd openFlatFile(const fs::path& path, int flags);

struct FlatDirectory {
  std::string identifier;
  std::uint64_t size = 0;
  std::string digest;
};

struct FlatSignature {
  FlatDirectory directory;
  Signature signature;
  std::uint64_t contentLength = 0;
};

FlatSignature readFlatSignature(int fd);
SigningInformation checkFlatFile(const fs::path& path, const Requirement* requirement);

}  // namespace platform::codesign
