// Reading the files of signed code without being led astray: no symbolic link followed below a
// bundle, no more read whole than a limit allows, file identities the kernel vouches for, and
// SHA-256 of whole files. Every other part of code signing reads through these.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/codesign/Internal.h"

namespace platform::codesign {

namespace {

// One read of a file being hashed: system calls cost little next to hashing it, and the allocator
// reuses a buffer this small rather than mapping fresh pages for every check.
constexpr std::size_t kHashChunk = 64 << 10;

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

}  // namespace

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

OpenedFile openRegularBeneath(int dirFd, const std::string& relative, std::uint64_t limit) {
  OpenedFile file{openBeneath(dirFd, relative, O_RDONLY | O_NONBLOCK), {}};
  if (!file.fd) {
    if (errno == ENOENT || errno == ENOTDIR) return file;
    if (errno == ELOOP) raise(Status::kSignatureInvalid, relative + " is a symbolic link");
    raise(Status::kFailed, errnoMessage(errno, "cannot open", relative));
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
    const ssize_t n = retryOnEintr([&] {
      return ::read(file.fd.get(), result.bytes.data() + done, result.bytes.size() - done);
    });
    if (n < 0) raise(Status::kFailed, errnoMessage(errno, "cannot read", relative));
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  result.bytes.resize(done);
  return result;
}

FileRead readBeneath(int dirFd, const std::string& relative, std::uint64_t limit) {
  return readOpened(openRegularBeneath(dirFd, relative, limit), relative);
}

timespec coarseNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now;
}

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

Hasher::Hasher()
    : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
      context_(EVP_MD_CTX_new()),
      buffer_(new char[kHashChunk]) {
  if (!md_ || !context_) raiseOpenSsl(Status::kFailed, "SHA-256 unavailable");
}

std::string Hasher::digest(int fd, std::optional<std::uint64_t> length) {
  if (EVP_DigestInit_ex2(context_.get(), md_.get(), nullptr) != 1) {
    raiseOpenSsl(Status::kFailed, "SHA-256 failed");
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::uint64_t offset = 0;
  while (!length || offset < *length) {
    std::size_t want = kHashChunk;
    if (length && *length - offset < want) want = static_cast<std::size_t>(*length - offset);
    const ssize_t n =
        retryOnEintr([&] { return ::pread(fd, buffer_.get(), want, static_cast<off_t>(offset)); });
    if (n < 0) raise(Status::kFailed, errnoMessage(errno, "read failed"));
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

std::string Hasher::digest(std::string_view bytes) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), out, &size, md_.get(), nullptr) != 1) {
    raiseOpenSsl(Status::kFailed, "SHA-256 failed");
  }
  return std::string(reinterpret_cast<const char*>(out), size);
}

}  // namespace platform::codesign
