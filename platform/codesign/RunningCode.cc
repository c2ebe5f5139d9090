// Running code: the checks of a peer process (its executable, its tracer, its memory maps) and
// the verification records that spare a peer's bundle from being verified on every message. Kept
// apart because only it reads /proc and only it remembers anything between calls.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <future>
#include <mutex>
#include <unordered_set>

#include "platform/codesign/Internal.h"

namespace platform::codesign {

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

// A file of /proc/<pid> opened as fd, whole; reading one of a process that has ended fails.
std::string readProcessFile(const UniqueFd& fd, const char* name) {
  constexpr std::size_t kLimit = 64 << 20;
  if (!fd) raise(Status::kNoCode, std::string("cannot read the process's ") + name);
  std::string out;
  char buffer[65536];
  while (true) {
    const ssize_t n = retryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) raise(Status::kNoCode, std::string("cannot read the process's ") + name);
    if (n == 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
    if (out.size() > kLimit) raise(Status::kRuntimeUntrusted, "the process maps too much");
  }
}

// One question to the kernel about a process's mappings, as linux/fs.h of Linux 6.11 has it (the
// build's headers may be older): the first mapping at or after address with the flags asked for.
struct MappingQuery {
  std::uint64_t size, flags, address;                             // in
  std::uint64_t start, end, vmaFlags, pageSize, offset, inode;    // out
  std::uint32_t deviceMajor, deviceMinor, nameSize, buildIdSize;  // in and out
  std::uint64_t nameAddress, buildIdAddress;                      // in
};
static_assert(sizeof(MappingQuery) == 104);
constexpr unsigned long kQueryMapping = _IOWR('f', 17, MappingQuery);
constexpr std::uint64_t kQueryExecutable = 0x04;
constexpr std::uint64_t kQueryCoveringOrNext = 0x10;

}  // namespace

std::vector<std::string> executableMappings(int processFd, MappingSource source) {
  const UniqueFd maps(::openat(processFd, "maps", O_RDONLY | O_CLOEXEC));
  if (!maps) raise(Status::kNoCode, "cannot read the process's maps");
  std::vector<std::string> paths;
  std::array<char, PATH_MAX> name{};
  for (std::uint64_t address = 0; source == MappingSource::kKernelWhereItCan;) {
    MappingQuery query{};
    query.size = sizeof query;
    query.flags = kQueryExecutable | kQueryCoveringOrNext;
    query.address = address;
    query.nameAddress = reinterpret_cast<std::uintptr_t>(name.data());
    query.nameSize = name.size();
    if (::ioctl(maps.get(), kQueryMapping, &query) != 0) {
      if (errno == ENOENT) return paths;  // no executable mapping after address
      // A kernel without the question answers the first one so: read the text instead.
      if (paths.empty() && (errno == ENOTTY || errno == EINVAL)) break;
      raise(Status::kRuntimeUntrusted, "unreadable mappings");
    }
    if (query.end <= address || query.nameSize > name.size()) {
      raise(Status::kRuntimeUntrusted, "unreadable mappings");
    }
    // The size counts the terminating NUL; none at all is anonymous memory.
    paths.emplace_back(name.data(), query.nameSize == 0 ? 0 : query.nameSize - 1);
    address = query.end;
  }
  const std::string text = readProcessFile(maps, "maps");
  std::size_t lineStart = 0;
  while (lineStart < text.size()) {
    std::size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    const std::string_view line(text.data() + lineStart, lineEnd - lineStart);
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
    paths.emplace_back(at == std::string_view::npos ? std::string_view() : line.substr(at));
  }
  return paths;
}

namespace {

// No process of another user can have put a file below a folder whose every folder from / down
// is root's and writable by nobody else. A process's libraries share a few folders: those found
// so in one examination (rootOwned) are not looked at again in it.
bool inRootOwnedFolders(const std::string& path, std::unordered_set<std::string>& rootOwned) {
  std::size_t slash = 0;
  while (slash != std::string::npos) {
    std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    if (!rootOwned.contains(folder)) {
      struct stat info {};
      if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != 0 ||
          (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return false;
      }
      rootOwned.insert(std::move(folder));
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
                              const std::string& executableName, int bundleFd,
                              const VerifiedCode& code) {
  const std::string status =
      readProcessFile(UniqueFd(::openat(processFd, "status", O_RDONLY | O_CLOEXEC)), "status");
  const std::size_t tracer = status.find("\nTracerPid:");
  if (tracer == std::string::npos) raise(Status::kRuntimeUntrusted, "cannot tell the tracer");
  const std::size_t value = status.find_first_not_of(" \t", tracer + 11);
  if (value == std::string::npos || status[value] != '0' ||
      std::isdigit(static_cast<unsigned char>(status[value + 1]))) {
    raise(Status::kRuntimeUntrusted, "the process is being traced");
  }
  const std::string executable = (bundlePath / "Contents/MacOS" / executableName).string();
  const std::string bundlePrefix = bundlePath.string() + "/";
  std::unordered_set<std::string> rootOwned;
  std::optional<Hasher> hasher;  // only for code loaded from the bundle, which ours never does
  for (const std::string& path : executableMappings(processFd)) {
    if (path == "[vdso]" || path == "[vsyscall]" || path == executable) continue;
    if (!path.starts_with("/") || path.ends_with(" (deleted)")) {
      raise(Status::kRuntimeUntrusted, "the process runs code that is not from a file: " + path);
    }
    if (path.starts_with(bundlePrefix)) {
      const std::string relative = path.substr(bundlePrefix.size());
      const auto sealed = code.sealedFiles.find(relative);
      UniqueFd fd = openBeneath(bundleFd, relative, O_RDONLY | O_NONBLOCK);
      if (sealed != code.sealedFiles.end() && fd && !hasher) hasher.emplace();
      if (sealed == code.sealedFiles.end() || !fd || hasher->digest(fd.get()) != sealed->second) {
        raise(Status::kRuntimeUntrusted, "the process runs code that is not sealed: " + path);
      }
    } else if (!inRootOwnedFolders(path, rootOwned)) {
      raise(Status::kRuntimeUntrusted, "the process runs code from outside its bundle: " + path);
    }
  }
}

// What a running process's bundle holds on disk, verified: the seal's signature and chain, and
// the Info.plist and the executable the process runs as sealed. The outcome depends on nothing
// but the content of those files and of the anchors, so it is recorded, keyed on their identities
// (see FileIdentity), for the next check of a process running the same code, in this process or
// another; what describes the process itself (its executable, tracer and mappings) is still
// examined every time.
std::shared_ptr<const VerifiedCode> verifiedBundleOf(const fs::path& bundlePath,
                                                     const std::string& executableName,
                                                     int executableFd, int bundleFd) {
  // One verification at a time: a check that arrives while its bundle is being verified ahead of
  // it (Code::prepareForBundle) waits for that outcome instead of doing the work twice.
  static std::mutex& verifying = *new std::mutex;  // never destroyed: threads may outlive main
  const timespec before = coarseNow();
  const OpenedFile resources = openRegularBeneath(bundleFd, kResourcesPath, kMaximumResourcesSize);
  const OpenedFile signature = openRegularBeneath(bundleFd, kSignaturePath, kMaximumSignatureSize);
  const OpenedFile info =
      openRegularBeneath(bundleFd, "Contents/Info.plist", kMaximumInfoPlistSize);
  struct stat executable {};
  if (::fstat(executableFd, &executable) != 0) raise(Status::kNoCode, "the process has ended");
  const std::optional<FileIdentity> identities[] = {
      resources.fd ? identityOf(resources.fd.get(), resources.info, before) : std::nullopt,
      signature.fd ? identityOf(signature.fd.get(), signature.info, before) : std::nullopt,
      info.fd ? identityOf(info.fd.get(), info.info, before) : std::nullopt,
      identityOf(executableFd, executable, before), trustAnchorsIdentity(before)};
  std::optional<VerifiedBundleKey> key;
  if (std::all_of(std::begin(identities), std::end(identities),
                  [](const auto& identity) { return identity.has_value(); })) {
    key = VerifiedBundleKey{bundlePath.string(), executableName, {}};
    for (std::size_t i = 0; i < key->files.size(); ++i) key->files[i] = *identities[i];
    if (auto known = loadVerifiedRecord(*key)) return std::make_shared<VerifiedCode>(*known);
  }
  const std::lock_guard lock(verifying);
  if (key) {
    if (auto known = loadVerifiedRecord(*key)) return std::make_shared<VerifiedCode>(*known);
  }
  Anchors anchors = trustAnchors();
  // Anchors replaced since their identity was taken: this outcome is not the key's.
  if (key && anchors.identity != key->files[4]) key.reset();
  // The executable's digest needs nothing of the seal: it is taken on another thread while the
  // signature is checked (in a new process, the two are most of the work), or below when no
  // thread can start. Waited for on every way out, before the caller closes the descriptor.
  std::future<std::string> executableDigest;
  try {
    executableDigest =
        std::async(std::launch::async, [executableFd] { return Hasher().digest(executableFd); });
  } catch (const std::system_error&) {
  }
  const Seal seal = sealOf(readOpened(resources, kResourcesPath),
                           readOpened(signature, kSignaturePath), anchors.store.get());
  if (!seal.signature.anchored) {
    raise(Status::kUntrusted, "the signing certificate's chain does not end at a trust anchor");
  }
  Hasher hasher;
  const FileRead infoRead = readOpened(info, "Contents/Info.plist");
  const auto sealedInfo = seal.entries.find("Contents/Info.plist");
  if (!infoRead.exists || sealedInfo == seal.entries.end() ||
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
  const auto sealedExecutable = seal.entries.find("Contents/MacOS/" + executableName);
  if (sealedExecutable == seal.entries.end() ||
      sealedExecutable->second.kind != SealEntry::Kind::kFile ||
      (executableDigest.valid() ? executableDigest.get() : hasher.digest(executableFd)) !=
          sealedExecutable->second.digest) {
    raise(Status::kSealBroken, "the running executable is not as sealed");
  }
  auto code = std::make_shared<VerifiedCode>();
  code->signer = factsOf(seal.signature, seal.identifier);
  for (const auto& [path, entry] : seal.entries) {
    if (entry.kind == SealEntry::Kind::kFile) code->sealedFiles.emplace(path, entry.digest);
  }
  if (key) storeVerifiedRecord(*key, *code);
  return code;
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
  const std::shared_ptr<const VerifiedCode> code =
      verifiedBundleOf(bundlePath_, executableName_, executable_.get(), bundleFd.get());
  requireUntamperedRuntime(process_.get(), bundlePath_, executableName_, bundleFd.get(), *code);
  if (!processAlive(pidfd_)) raise(Status::kNoCode, "the process has ended");
  requireTrustAndRequirement(code->signer, requirement);
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

}  // namespace platform::codesign
