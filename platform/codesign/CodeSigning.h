// Code signing: who signed a piece of code, and whether it is still what was signed.
//
// Signed code is either a bundle or a flat file (a disk image):
// - A bundle is sealed by Contents/_CodeSignature/CodeResources, a property list holding the
//   signing identifier and, for every entry below the bundle, the SHA-256 of a regular file, the
//   target of a symbolic link, the seal digests of a nested bundle (every folder directly inside
//   Contents/PlugIns and Contents/XPCServices, signed on its own beforehand), or that it is a
//   folder (checked under strict validation). Nothing else may exist.
//   Contents/_CodeSignature/CodeSignature is a detached DER CMS SignedData over CodeResources that
//   carries the signer's certificate and its intermediates, and binds the signer's certificate by
//   a signed attribute holding its hash (ESS signing-certificate-v2).
// - A flat file carries its signature as a trailer: [content][CMS DER][u64 LE length][8-byte
//   magic]. The CMS encapsulates a small property list (identifier, content size, content
//   SHA-256), so the signature covers the content and the identifier together.
//
// A signature is valid only when its certificate chain ends at a trust anchor of
// <platform root>/System/Library/Security/anchors.pem (certificate lifetimes are not checked).
// A requirement (Requirement::compile) states what a valid signature must also show.
//
// Failures throw CodeSigningError, whose status() is never 0. Every call is reentrant; objects are
// immutable after creation and safe to share between threads. The only state kept between calls is
// what the files on disk were verified to hold (the anchors, and a running bundle's signature and
// sealed files), keyed on identities of those files that change with any change to them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env/Fd.h"
#include "platform/process/PeerIdentity.h"

namespace platform::codesign {

using Flags = std::uint32_t;
inline constexpr Flags kDefaultFlags = 0;
// Accepted for every kind of code: a file here has one architecture, validated whole.
inline constexpr Flags kCheckAllArchitectures = 1;
// Nested bundles are validated in turn, with the same flags (without it, only their seal digests
// recorded in the outer seal are compared).
inline constexpr Flags kCheckNestedCode = 8;
// Symbolic links must resolve inside the bundle, no folder may be added or removed, and nothing
// but folders, regular files and symbolic links may exist in it.
inline constexpr Flags kStrictValidate = 16;

enum class Status : int {
  kSuccess = 0,
  kNoCode = -9001,             // no such file or process, or nothing that can be examined
  kUnsigned = -9002,           // no signature at all
  kSignatureInvalid = -9003,   // signature damaged, or not over what it claims to sign
  kUntrusted = -9004,          // chain does not end at a trust anchor
  kSealBroken = -9005,         // a sealed entry changed or is missing, or one was added
  kNestedCodeInvalid = -9006,  // a nested bundle is unsigned, invalid or replaced
  kSymlinkEscapes = -9007,     // a symbolic link resolves outside the bundle
  kRequirementSyntax = -9008,  // a requirement text does not compile
  kRequirementUnsatisfied = -9009,
  kFailed = -9010,            // reading, writing or a cryptographic operation failed
  kRuntimeUntrusted = -9011,  // a running process is traced or runs code from outside its bundle
};

class CodeSigningError : public std::runtime_error {
 public:
  CodeSigningError(Status status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  Status status() const noexcept { return status_; }

 private:
  Status status_;
};

struct SignerFacts;  // what a validated signature shows (internal)

// A compiled requirement. The language is this subset, joined by "and" (no other operator):
//   identifier "ID"
//   anchor apple generic
//   certificate (leaf | root | N) [subject.(CN|O|OU|C|L|ST)] = "TEXT"
//   certificate (leaf | root | N) [subject.(CN|O|OU|C|L|ST) | field.DOTTED.OID] exists
// Strings are taken literally between two double quotes and may not hold one; anything else, a
// stray quote included, is a syntax error (kRequirementSyntax). Certificate 0 is the leaf.
class Requirement {
 public:
  static Requirement compile(std::string_view text, Flags flags = kDefaultFlags);

  Requirement(Requirement&&) noexcept;
  Requirement& operator=(Requirement&&) noexcept;
  ~Requirement();

  bool isSatisfiedBy(const SignerFacts& facts) const;

 private:
  struct Clause;
  explicit Requirement(std::vector<Clause> clauses);
  std::vector<Clause> clauses_;
};

// A private key with its certificate and the intermediates to send along, from one PEM file
// (the key, then the leaf certificate, then its issuers).
class SigningIdentity {
 public:
  static SigningIdentity load(const std::filesystem::path& pem);
  SigningIdentity(SigningIdentity&&) noexcept;
  SigningIdentity& operator=(SigningIdentity&&) noexcept;
  ~SigningIdentity();

  struct Parts;  // opaque

 private:
  friend void sign(const std::filesystem::path&, const SigningIdentity&,
                   const std::optional<std::string>&);
  explicit SigningIdentity(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

// What a signature says about itself; for display, not a judgement of validity.
struct SigningInformation {
  bool isBundle = false;
  std::string identifier;
  std::optional<std::string> team;       // the leaf's subject OU
  std::vector<std::string> authorities;  // common names, leaf first, up to the root when known
  std::string leafSha256;                // SHA-256 of the leaf's DER, lower-case hex
  // SHA-256 of the leaf's signed body (TBSCertificate), lower-case hex: unlike the DER, the same
  // for every encoding of the certificate.
  std::string leafSignedBodySha256;
};

// Code on disk: a folder with a Contents folder (a bundle), or a regular file (a flat file).
class StaticCode {
 public:
  // Throws kNoCode when nothing is there or it is neither a bundle nor a regular file.
  static StaticCode createWithPath(const std::filesystem::path& path, Flags flags = kDefaultFlags);

  const std::filesystem::path& path() const { return path_; }
  bool isBundle() const { return isBundle_; }

  // Validates the signature, its chain, every sealed entry (a flat file's content), and then the
  // requirement when one is given (kRequirementUnsatisfied). Reads every file of the code. Returns
  // what the signature just validated shows (the signature on disk may change afterwards).
  SigningInformation checkValidity(Flags flags, const Requirement* requirement) const;

  // Reads the signature without asking for trust. Throws kUnsigned or kSignatureInvalid.
  SigningInformation signingInformation() const;

 private:
  StaticCode(std::filesystem::path path, bool isBundle)
      : path_(std::move(path)), isBundle_(isBundle) {}
  std::filesystem::path path_;
  bool isBundle_ = false;
};

// A running process whose executable is the main executable of a bundle
// (<bundle>/Contents/MacOS/<CFBundleExecutable>).
class Code {
 public:
  // Throws kNoCode when the process is gone or its executable is not a bundle's main executable.
  static Code createWithPeer(const PeerIdentity& peer, Flags flags = kDefaultFlags);

  const std::filesystem::path& bundlePath() const { return bundlePath_; }

  // The cheap check of a running process: its bundle's signature and chain, and the Info.plist and
  // the executable the process runs (not a replacement on disk) as sealed; then the stand-in for a
  // hardened runtime (kRuntimeUntrusted): the process is not traced, and runs no code but its
  // executable, files its seal holds unchanged and files in folders only root can write, from /
  // down; then the requirement. A process of the same user can still change one it started
  // before the check, or trace it after (see docs/code-signing.md).
  void checkValidity(Flags flags, const Requirement* requirement) const;

  // Verifies now, on another thread while a message is awaited, what checkValidity of a process
  // running the bundle at bundlePath will need of its files on disk, so that the check itself only
  // examines the process. Failures are left for that check to report.
  static void prepareForBundle(const std::filesystem::path& bundlePath) noexcept;

 private:
  Code(std::filesystem::path bundlePath, std::string executableName, UniqueFd executable,
       UniqueFd process, int pidfd)
      : bundlePath_(std::move(bundlePath)),
        executableName_(std::move(executableName)),
        executable_(std::move(executable)),
        process_(std::move(process)),
        pidfd_(pidfd) {}
  std::filesystem::path bundlePath_;
  std::string executableName_;
  UniqueFd executable_;  // /proc/<pid>/exe, opened while the process was known to be the peer
  UniqueFd process_;     // /proc/<pid>: reads through it fail once that process has ended
  int pidfd_ = -1;
};

// Signs a bundle (its nested bundles must be signed already) or a flat file, replacing any earlier
// signature. The identifier defaults to the bundle's CFBundleIdentifier; a flat file needs one.
void sign(const std::filesystem::path& path, const SigningIdentity& identity,
          const std::optional<std::string>& identifier);

// The length of a flat file's signed content: the file's size less any signature trailer.
std::uint64_t flatFileContentLength(const std::filesystem::path& path);

// SHA-256 (lower-case hex) of the signed body (TBSCertificate) of the first certificate in PEM
// text: how revoked.txt names a leaf. Throws kFailed when there is no certificate.
std::string certificateSignedBodySha256(std::string_view pem);

// <platform root>/System/Library/Security/anchors.pem and .../revoked.txt (for the assessment).
std::filesystem::path trustAnchorsPath();
std::filesystem::path revokedCertificatesPath();

}  // namespace platform::codesign
