// ditto: copies a bundle (or a single file or symbolic link) to a new place.
//   ditto SRC DST
// Symbolic links are copied as links and never followed; permission bits (without set-user-ID and
// set-group-ID: the copy belongs to whoever copies, and must not run as someone else) and access
// and modification times are kept; ownership is the caller's. DST must not exist. A FIFO, device
// or socket in SRC fails the copy. On any failure the partial copy is removed and the reason goes
// to stderr. Each file's write-back to the disk starts as soon as it is written, so that a flush
// of the whole copy afterwards has little left to wait for; the copy is not flushed here.
// Exit status: 0 success; 1 failure; 2 wrong usage.
#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/env/Errors.h"
#include "platform/env/Fd.h"

namespace {
namespace fs = std::filesystem;
using platform::UniqueFd;

class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void failErrno(const std::string& path) {
  throw Failure(platform::errnoMessage(errno, path));
}

std::string join(const std::string& folder, const char* name) { return folder + "/" + name; }

constexpr mode_t kKeptModeBits = 07777 & ~(S_ISUID | S_ISGID);

void setModeAndTimes(int fd, const struct stat& source, const std::string& path) {
  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  if (::fchmod(fd, source.st_mode & kKeptModeBits) != 0 || ::futimens(fd, times) != 0) {
    failErrno(path);
  }
}

// Copies the bytes of in to out: in the kernel where it can, by plain reads and writes where
// neither copy_file_range (across file systems before Linux 5.19, or from FUSE) nor sendfile
// will.
void copyBytes(int in, int out, const struct stat& source, const std::string& path) {
  constexpr std::size_t kChunk = std::size_t{1} << 30;
  off_t copied = 0;
  bool kernelCopy = true;
  bool sendFile = true;
  for (;;) {
    ssize_t count = -1;
    if (kernelCopy) {
      count = platform::retryOnEintr(
          [&] { return ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0); });
      if (count < 0 && copied == 0) {
        kernelCopy = false;
        continue;
      }
    } else if (sendFile) {
      count = platform::retryOnEintr([&] { return ::sendfile(out, in, nullptr, kChunk); });
      if (count < 0 && (errno == EINVAL || errno == ENOSYS) && copied == 0) {
        sendFile = false;
        continue;
      }
    } else {
      static thread_local std::vector<char> buffer(std::size_t{1} << 20);
      count = platform::retryOnEintr([&] { return ::read(in, buffer.data(), buffer.size()); });
      for (ssize_t written = 0; count > 0 && written < count;) {
        const ssize_t step = platform::retryOnEintr([&] {
          return ::write(out, buffer.data() + written, static_cast<std::size_t>(count - written));
        });
        if (step < 0) failErrno(path);
        written += step;
      }
    }
    if (count < 0) failErrno(path);
    if (count == 0) break;
    copied += count;
  }
  // A file that shrank or grew while it was copied is not the file that was there.
  if (copied != source.st_size) throw Failure(path + ": changed while being copied");
}

void copyFile(int fromFolder, const char* fromName, int toFolder, const char* toName,
              const struct stat& expected, const std::string& path, bool* made) {
  const UniqueFd in(::openat(fromFolder, fromName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  if (!in) failErrno(path);
  struct stat source {};
  if (::fstat(in.get(), &source) != 0) failErrno(path);
  if (!S_ISREG(source.st_mode) || source.st_ino != expected.st_ino ||
      source.st_dev != expected.st_dev) {
    throw Failure(path + ": changed while being copied");
  }
  const UniqueFd out(
      ::openat(toFolder, toName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) failErrno(path);
  if (made != nullptr) *made = true;
  copyBytes(in.get(), out.get(), source, path);
  setModeAndTimes(out.get(), source, path);
  // Only a start: nothing waits here, and a file system that cannot do it still copies.
  ::sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

void copyLink(int fromFolder, const char* fromName, int toFolder, const char* toName,
              const struct stat& source, const std::string& path, bool* made) {
  std::string target(static_cast<std::size_t>(source.st_size) + 1, '\0');
  const ssize_t length = ::readlinkat(fromFolder, fromName, target.data(), target.size());
  if (length < 0) failErrno(path);
  if (static_cast<std::size_t>(length) >= target.size()) {
    throw Failure(path + ": changed while being copied");
  }
  target.resize(static_cast<std::size_t>(length));
  if (::symlinkat(target.c_str(), toFolder, toName) != 0) failErrno(path);
  if (made != nullptr) *made = true;
  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  if (::utimensat(toFolder, toName, times, AT_SYMLINK_NOFOLLOW) != 0) failErrno(path);
}

UniqueFd openFolder(int parent, const char* name, const std::string& path) {
  UniqueFd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) failErrno(path);
  return fd;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

void copyEntry(int fromFolder, const char* fromName, int toFolder, const char* toName,
               const struct stat& source, const std::string& path, bool* made = nullptr);

// Copies the entries of one folder into another that was just made; the folder's own mode and
// times are set by the caller afterwards, so a read-only folder can still be filled.
void copyFolderContents(int from, int to, const std::string& path) {
  const int listing = ::fcntl(from, F_DUPFD_CLOEXEC, 0);
  if (listing < 0) failErrno(path);
  const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing));
  if (!dir) {
    ::close(listing);
    failErrno(path);
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) failErrno(path);
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    struct stat source {};
    if (::fstatat(from, name, &source, AT_SYMLINK_NOFOLLOW) != 0) failErrno(join(path, name));
    copyEntry(from, name, to, name, source, join(path, name));
  }
}

// made, when given, is set once the copy's top item exists: every item is created exclusively, so
// from then on it is ours to remove.
void copyEntry(int fromFolder, const char* fromName, int toFolder, const char* toName,
               const struct stat& source, const std::string& path, bool* made) {
  if (S_ISREG(source.st_mode)) {
    copyFile(fromFolder, fromName, toFolder, toName, source, path, made);
  } else if (S_ISLNK(source.st_mode)) {
    copyLink(fromFolder, fromName, toFolder, toName, source, path, made);
  } else if (S_ISDIR(source.st_mode)) {
    if (::mkdirat(toFolder, toName, 0700) != 0) failErrno(path);
    if (made != nullptr) *made = true;
    const UniqueFd from = openFolder(fromFolder, fromName, path);
    const UniqueFd to = openFolder(toFolder, toName, path);
    struct stat opened {};
    if (::fstat(from.get(), &opened) != 0) failErrno(path);
    if (opened.st_ino != source.st_ino || opened.st_dev != source.st_dev) {
      throw Failure(path + ": changed while being copied");
    }
    copyFolderContents(from.get(), to.get(), path);
    setModeAndTimes(to.get(), opened, path);
  } else {
    throw Failure(path + ": not a regular file, folder or symbolic link");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || argv[1][0] == '-' || argv[2][0] == '-') {
    std::cerr << "usage: ditto SRC DST\n";
    return 2;
  }
  const std::string source = argv[1];
  const std::string destination = argv[2];
  struct stat status {};
  if (::lstat(destination.c_str(), &status) == 0 || errno != ENOENT) {
    std::cerr << "ditto: " << destination << ": already exists\n";
    return 1;
  }
  bool made = false;
  try {
    if (::lstat(source.c_str(), &status) != 0) failErrno(source);
    copyEntry(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), status, source, &made);
  } catch (const std::exception& failure) {
    std::cerr << "ditto: " << failure.what() << "\n";
    std::error_code ignored;
    if (made) fs::remove_all(destination, ignored);
    return 1;
  }
  return 0;
}
