// The operating system as the system's code sees it: machine facts, the system log and the file
// system. Env is the interface, PosixEnv the real system; a test derives from PosixEnv (or wraps
// another Env with EnvWrapper) and breaks single calls, the way a full disk or a failed read would.
//
// Unless a call says otherwise it throws std::system_error (from errno) on failure and may be
// called from any thread. Every descriptor it opens is O_CLOEXEC.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/env/Fd.h"
#include "platform/process/Process.h"

namespace platform {

struct OperatingSystemVersion {
  long major = 0;
  long minor = 0;
  long patch = 0;
};

// What Env::openRegularFile throws for anything at a path but a regular file. Its code is EINVAL,
// or open(2)'s error for what cannot be opened at all (ELOOP for a symbolic link, ENXIO for a
// socket).
class NotRegularFileError : public std::system_error {
 public:
  using std::system_error::system_error;
};

// A regular file opened for reading, with what fstat(2) said of it when it was opened.
struct RegularFile {
  UniqueFd fd;
  std::uint64_t size = 0;
  uid_t owner = 0;
  mode_t mode = 0;
  std::filesystem::path path;  // as it was opened, for messages
};

struct FileStatus {
  bool exists = false;
  bool isDirectory = false;
  bool isRegular = false;
  bool isSymlink = false;
  std::uint64_t size = 0;
  mode_t mode = 0;
  std::chrono::system_clock::time_point modificationTime;
};

class Env {
 public:
  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env() = default;

  // The real operating system (a PosixEnv). Lives for the process.
  static Env& Default();

  // --- Machine facts ---

  // Root of everything the operating system owns: $BRAMLOW_PLATFORM_ROOT, or "/".
  virtual std::filesystem::path platformRoot() = 0;
  // The running executable (/proc/self/exe), from which the main bundle is found.
  virtual std::filesystem::path executablePath() = 0;
  // The user's caches folder: $XDG_CACHE_HOME, else $HOME/.cache, else the passwd home's .cache.
  virtual std::filesystem::path cachesDirectory() = 0;
  // ProductVersion of <root>/System/Library/CoreServices/SystemVersion.plist; 0.0.0 when the file
  // is missing or unreadable.
  virtual OperatingSystemVersion systemVersion() = 0;
  virtual std::chrono::system_clock::time_point now() = 0;
  // The user's languages in order of preference (see Locale.h). Tests override this instead of
  // changing the process environment, which other threads may be reading.
  virtual std::vector<std::string> preferredLanguages() = 0;
  // One line in the system log: <root>/var/log/system.log when the root is not "/", syslog(3)
  // otherwise. Line breaks inside the entry are flattened so an entry stays one line. Never throws.
  virtual void log(std::string_view line) = 0;

  // --- Files ---

  // openat(2) with O_CLOEXEC added; a relative path is taken from directoryFd.
  virtual UniqueFd open(const std::filesystem::path& path, int flags, mode_t mode = 0,
                        int directoryFd = AT_FDCWD) = 0;
  // Reads up to size bytes; 0 at end of file. Retries on EINTR.
  virtual std::size_t read(int fd, void* buffer, std::size_t size) = 0;
  // Writes all bytes or throws. Retries on EINTR and short writes.
  virtual void writeAll(int fd, const void* data, std::size_t size) = 0;
  virtual void fsync(int fd) = 0;
  // fsync(2) of the file or folder at path, opened without following a link or blocking: a
  // file's bytes, or a folder's entries (what was renamed into or out of it), are then on disk.
  virtual void syncPath(const std::filesystem::path& path) = 0;
  // syncfs(2): everything written to the file system that holds path, data and metadata of every
  // file and folder, is on disk when it returns. One wait for many files written just before.
  virtual void syncFileSystem(const std::filesystem::path& path) = 0;
  // Closes fd (it is gone afterwards either way) and throws if close(2) reported an error.
  virtual void close(int fd) = 0;
  // flock(LOCK_EX | LOCK_NB): false when the lock is refused for any reason.
  virtual bool tryLockExclusive(int fd) = 0;

  // The whole content of a regular file.
  virtual std::string readFile(const std::filesystem::path& path) = 0;
  // Opens a file that must be a regular file, for files that others could have replaced: without
  // following a symbolic link and without blocking, and examined on the open descriptor, so a
  // link, a FIFO, a socket, a device or a folder throws NotRegularFileError before anything is
  // read. Any other failure (nothing there, say) throws std::system_error. A relative path is
  // taken from directoryFd.
  virtual RegularFile openRegularFile(const std::filesystem::path& path,
                                      int directoryFd = AT_FDCWD) = 0;
  // The rest of a file opened with openRegularFile, of at most maximumSize bytes in all; a larger
  // file, or one that grew past the bound, fails with EFBIG.
  virtual std::string readToEnd(const RegularFile& file, std::size_t maximumSize) = 0;
  // readToEnd of openRegularFile(path, directoryFd).
  virtual std::string readRegularFile(const std::filesystem::path& path, std::size_t maximumSize,
                                      int directoryFd = AT_FDCWD) = 0;
  // Writes data to a new temporary file beside path, syncs it and renames it over path, so readers
  // see the old content or the new, never a mix; then syncs the folder, so the new content is what
  // survives a power cut once the call returns. The temporary file never outlives the call. A
  // relative path is taken from directoryFd, which is then the folder that is synced.
  virtual void writeFileAtomically(const std::filesystem::path& path, std::string_view data,
                                   mode_t mode = 0644, int directoryFd = AT_FDCWD) = 0;
  // lstat(2): exists == false when nothing is there; other errors throw.
  virtual FileStatus status(const std::filesystem::path& path) = 0;
  // Creates the folder and any missing parents, each with mode. An existing folder is fine.
  virtual void createDirectories(const std::filesystem::path& path, mode_t mode) = 0;
  // Removes a file, a symbolic link (not its target) or a folder with its contents.
  virtual void removeItem(const std::filesystem::path& path) = 0;
  // renameat(2), both relative paths taken from directoryFd.
  virtual void rename(const std::filesystem::path& from, const std::filesystem::path& to,
                      int directoryFd = AT_FDCWD) = 0;
  // Names of the entries of a folder, "." and ".." excluded, in no particular order.
  virtual std::vector<std::string> listDirectory(const std::filesystem::path& path) = 0;

  // --- Processes ---

  // Runs a system tool to its end: executable is an absolute path that names a file under the
  // Env's platformRoot() ("/usr/sbin/spctl" is <root>/usr/sbin/spctl), arguments exclude the
  // program name. The child inherits the environment and working directory; its standard input and
  // output are /dev/null, its standard error a pipe that is read to its end before the child is
  // waited for, and no other descriptor of ours reaches it. The child is killed should the calling
  // thread end first (a killed updater leaves no tool running). A launch failure throws
  // std::system_error; any end of the child is a result. Blocks the calling thread.
  virtual ProcessResult runProcess(const std::filesystem::path& executable,
                                   const std::vector<std::string>& arguments) = 0;

  // --- Replacing the installed application ---

  // mkdtemp(3): a new folder (mode 0700) named after pathTemplate, whose last six characters are
  // "XXXXXX"; returns its path.
  virtual std::filesystem::path makeTemporaryDirectory(
      const std::filesystem::path& pathTemplate) = 0;
  // renameat2(2) relative to the working folder: RENAME_EXCHANGE swaps two existing entries in
  // one step, RENAME_NOREPLACE refuses an existing target (EEXIST).
  virtual void renameat2(const std::filesystem::path& from, const std::filesystem::path& to,
                         unsigned int flags) = 0;
  // mkdir(2): one new folder, no intermediates; an existing entry is an error (EEXIST).
  virtual void createDirectory(const std::filesystem::path& path, mode_t mode) = 0;
  // access(2) with W_OK: false also for a read-only file system, even for root.
  virtual bool isWritable(const std::filesystem::path& path) = 0;
  // Whether path is the root of a mounted file system (false when nothing is there).
  virtual bool isMountPoint(const std::filesystem::path& path) = 0;
};

// The real operating system. Not final: a test derives from it to fake a few calls, and every
// other call, including those this class makes to itself, stays real.
class PosixEnv : public Env {
 public:
  std::filesystem::path platformRoot() override;
  std::filesystem::path executablePath() override;
  std::filesystem::path cachesDirectory() override;
  OperatingSystemVersion systemVersion() override;
  std::chrono::system_clock::time_point now() override;
  std::vector<std::string> preferredLanguages() override;
  void log(std::string_view line) override;
  UniqueFd open(const std::filesystem::path& path, int flags, mode_t mode = 0,
                int directoryFd = AT_FDCWD) override;
  std::size_t read(int fd, void* buffer, std::size_t size) override;
  void writeAll(int fd, const void* data, std::size_t size) override;
  void fsync(int fd) override;
  void syncPath(const std::filesystem::path& path) override;
  void syncFileSystem(const std::filesystem::path& path) override;
  void close(int fd) override;
  bool tryLockExclusive(int fd) override;
  std::string readFile(const std::filesystem::path& path) override;
  RegularFile openRegularFile(const std::filesystem::path& path,
                              int directoryFd = AT_FDCWD) override;
  std::string readToEnd(const RegularFile& file, std::size_t maximumSize) override;
  std::string readRegularFile(const std::filesystem::path& path, std::size_t maximumSize,
                              int directoryFd = AT_FDCWD) override;
  void writeFileAtomically(const std::filesystem::path& path, std::string_view data,
                           mode_t mode = 0644, int directoryFd = AT_FDCWD) override;
  FileStatus status(const std::filesystem::path& path) override;
  void createDirectories(const std::filesystem::path& path, mode_t mode) override;
  void removeItem(const std::filesystem::path& path) override;
  void rename(const std::filesystem::path& from, const std::filesystem::path& to,
              int directoryFd = AT_FDCWD) override;
  std::vector<std::string> listDirectory(const std::filesystem::path& path) override;
  ProcessResult runProcess(const std::filesystem::path& executable,
                           const std::vector<std::string>& arguments) override;
  std::filesystem::path makeTemporaryDirectory(const std::filesystem::path& pathTemplate) override;
  void renameat2(const std::filesystem::path& from, const std::filesystem::path& to,
                 unsigned int flags) override;
  void createDirectory(const std::filesystem::path& path, mode_t mode) override;
  bool isWritable(const std::filesystem::path& path) override;
  bool isMountPoint(const std::filesystem::path& path) override;
};

// The Env that the system's code uses: Env::Default() unless a test installed another.
Env& env();

// Installs an Env for the life of the object (tests only; not thread-safe against running code).
class ScopedEnvForTesting {
 public:
  explicit ScopedEnvForTesting(Env& replacement);
  ~ScopedEnvForTesting();
  ScopedEnvForTesting(const ScopedEnvForTesting&) = delete;
  ScopedEnvForTesting& operator=(const ScopedEnvForTesting&) = delete;

 private:
  Env* previous_;
};

// Forwards every call to a target; a test overrides only the calls it wants to break.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}
  Env& target() const { return target_; }

  std::filesystem::path platformRoot() override { return target_.platformRoot(); }
  std::filesystem::path executablePath() override { return target_.executablePath(); }
  std::filesystem::path cachesDirectory() override { return target_.cachesDirectory(); }
  OperatingSystemVersion systemVersion() override { return target_.systemVersion(); }
  std::chrono::system_clock::time_point now() override { return target_.now(); }
  std::vector<std::string> preferredLanguages() override { return target_.preferredLanguages(); }
  void log(std::string_view line) override { target_.log(line); }
  UniqueFd open(const std::filesystem::path& path, int flags, mode_t mode = 0,
                int directoryFd = AT_FDCWD) override {
    return target_.open(path, flags, mode, directoryFd);
  }
  std::size_t read(int fd, void* buffer, std::size_t size) override {
    return target_.read(fd, buffer, size);
  }
  void writeAll(int fd, const void* data, std::size_t size) override {
    target_.writeAll(fd, data, size);
  }
  void fsync(int fd) override { target_.fsync(fd); }
  void syncPath(const std::filesystem::path& path) override { target_.syncPath(path); }
  void syncFileSystem(const std::filesystem::path& path) override { target_.syncFileSystem(path); }
  void close(int fd) override { target_.close(fd); }
  bool tryLockExclusive(int fd) override { return target_.tryLockExclusive(fd); }
  std::string readFile(const std::filesystem::path& path) override {
    return target_.readFile(path);
  }
  RegularFile openRegularFile(const std::filesystem::path& path,
                              int directoryFd = AT_FDCWD) override {
    return target_.openRegularFile(path, directoryFd);
  }
  std::string readToEnd(const RegularFile& file, std::size_t maximumSize) override {
    return target_.readToEnd(file, maximumSize);
  }
  std::string readRegularFile(const std::filesystem::path& path, std::size_t maximumSize,
                              int directoryFd = AT_FDCWD) override {
    return target_.readRegularFile(path, maximumSize, directoryFd);
  }
  void writeFileAtomically(const std::filesystem::path& path, std::string_view data,
                           mode_t mode = 0644, int directoryFd = AT_FDCWD) override {
    target_.writeFileAtomically(path, data, mode, directoryFd);
  }
  FileStatus status(const std::filesystem::path& path) override { return target_.status(path); }
  void createDirectories(const std::filesystem::path& path, mode_t mode) override {
    target_.createDirectories(path, mode);
  }
  void removeItem(const std::filesystem::path& path) override { target_.removeItem(path); }
  void rename(const std::filesystem::path& from, const std::filesystem::path& to,
              int directoryFd = AT_FDCWD) override {
    target_.rename(from, to, directoryFd);
  }
  std::vector<std::string> listDirectory(const std::filesystem::path& path) override {
    return target_.listDirectory(path);
  }
  ProcessResult runProcess(const std::filesystem::path& executable,
                           const std::vector<std::string>& arguments) override {
    return target_.runProcess(executable, arguments);
  }
  std::filesystem::path makeTemporaryDirectory(const std::filesystem::path& pathTemplate) override {
    return target_.makeTemporaryDirectory(pathTemplate);
  }
  void renameat2(const std::filesystem::path& from, const std::filesystem::path& to,
                 unsigned int flags) override {
    target_.renameat2(from, to, flags);
  }
  void createDirectory(const std::filesystem::path& path, mode_t mode) override {
    target_.createDirectory(path, mode);
  }
  bool isWritable(const std::filesystem::path& path) override { return target_.isWritable(path); }
  bool isMountPoint(const std::filesystem::path& path) override {
    return target_.isMountPoint(path);
  }

 private:
  Env& target_;
};

}  // namespace platform
