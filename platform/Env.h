// The operating system as the system's code sees it: machine facts, the system log and the file
// system. Everything goes through one Env so that tests can replace or break any single call
// (EnvWrapper below), the way a disk that fills up or a read that fails would.
//
// Unless a call says otherwise it throws std::system_error (from errno) on failure and may be
// called from any thread. Every descriptor it opens is O_CLOEXEC.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/Fd.h"
#include "platform/Process.h"

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

// A regular file opened for reading, and its size when it was opened.
struct RegularFile {
  UniqueFd fd;
  std::uint64_t size = 0;
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

  // The real operating system. Lives for the process.
  static Env& Default();

  // --- Machine facts ---

  // Root of everything the operating system owns: $BRAMLOW_PLATFORM_ROOT, or "/".
  virtual std::filesystem::path platformRoot();
  // The running executable (/proc/self/exe), from which the main bundle is found.
  virtual std::filesystem::path executablePath();
  // The user's caches folder: $XDG_CACHE_HOME, else $HOME/.cache, else the passwd home's .cache.
  virtual std::filesystem::path cachesDirectory();
  // ProductVersion of <root>/System/Library/CoreServices/SystemVersion.plist; 0.0.0 when the file
  // is missing or unreadable.
  virtual OperatingSystemVersion systemVersion();
  virtual std::chrono::system_clock::time_point now();
  // The user's languages in order of preference (see Locale.h). Tests override this instead of
  // changing the process environment, which other threads may be reading.
  virtual std::vector<std::string> preferredLanguages();
  // One line in the system log: <root>/var/log/system.log when the root is not "/", syslog(3)
  // otherwise. Line breaks inside the entry are flattened so an entry stays one line. Never throws.
  virtual void log(std::string_view line);

  // --- Files ---

  // open(2) with O_CLOEXEC added.
  virtual UniqueFd open(const std::filesystem::path& path, int flags, mode_t mode = 0);
  // Reads up to size bytes; 0 at end of file. Retries on EINTR.
  virtual std::size_t read(int fd, void* buffer, std::size_t size);
  // Writes all bytes or throws. Retries on EINTR and short writes.
  virtual void writeAll(int fd, const void* data, std::size_t size);
  virtual void fsync(int fd);
  // fsync(2) of the file or folder at path, opened without following a link or blocking: a
  // file's bytes, or a folder's entries (what was renamed into or out of it), are then on disk.
  virtual void syncPath(const std::filesystem::path& path);
  // syncfs(2): everything written to the file system that holds path, data and metadata of every
  // file and folder, is on disk when it returns. One wait for many files written just before.
  virtual void syncFileSystem(const std::filesystem::path& path);
  // Closes fd (it is gone afterwards either way) and throws if close(2) reported an error.
  virtual void close(int fd);
  // flock(LOCK_EX | LOCK_NB): false when the lock is refused for any reason.
  virtual bool tryLockExclusive(int fd);

  // The whole content of a regular file.
  virtual std::string readFile(const std::filesystem::path& path);
  // Opens a file that must be a regular file, for files that others could have replaced: without
  // following a symbolic link and without blocking, and examined on the open descriptor, so a
  // link, a FIFO, a socket, a device or a folder throws NotRegularFileError before anything is
  // read. Any other failure (nothing there, say) throws std::system_error.
  virtual RegularFile openRegularFile(const std::filesystem::path& path);
  // The whole content of a file opened with openRegularFile, of at most maximumSize bytes; a
  // larger file fails with EFBIG.
  virtual std::string readRegularFile(const std::filesystem::path& path, std::size_t maximumSize);
  // Writes data to a new temporary file beside path, syncs it and renames it over path, so readers
  // see the old content or the new, never a mix; then syncs the folder, so the new content is what
  // survives a power cut once the call returns. The temporary file never outlives the call.
  virtual void writeFileAtomically(const std::filesystem::path& path, std::string_view data,
                                   mode_t mode = 0644);
  // lstat(2): exists == false when nothing is there; other errors throw.
  virtual FileStatus status(const std::filesystem::path& path);
  // Creates the folder and any missing parents, each with mode. An existing folder is fine.
  virtual void createDirectories(const std::filesystem::path& path, mode_t mode);
  // Removes a file, a symbolic link (not its target) or a folder with its contents.
  virtual void removeItem(const std::filesystem::path& path);
  virtual void rename(const std::filesystem::path& from, const std::filesystem::path& to);
  // Names of the entries of a folder, "." and ".." excluded, in no particular order.
  virtual std::vector<std::string> listDirectory(const std::filesystem::path& path);

  // --- Processes ---

  // Runs a system tool to its end: executable is an absolute path that names a file under the
  // platform root ("/usr/sbin/spctl" is <root>/usr/sbin/spctl), arguments exclude the program
  // name. The child inherits the environment and working directory; its standard input and output
  // are /dev/null, its standard error a pipe that is read to its end before the child is waited
  // for, and no other descriptor of ours reaches it. The child is killed should the calling
  // thread end first (a killed updater leaves no tool running). A launch failure throws
  // std::system_error; any end of the child is a result. Blocks the calling thread.
  virtual ProcessResult runProcess(const std::filesystem::path& executable,
                                   const std::vector<std::string>& arguments);

  // --- Replacing the installed application ---

  // mkdtemp(3): a new folder (mode 0700) named after pathTemplate, whose last six characters are
  // "XXXXXX"; returns its path.
  virtual std::filesystem::path makeTemporaryDirectory(const std::filesystem::path& pathTemplate);
  // renameat2(2) relative to the working folder: RENAME_EXCHANGE swaps two existing entries in
  // one step, RENAME_NOREPLACE refuses an existing target (EEXIST).
  virtual void renameat2(const std::filesystem::path& from, const std::filesystem::path& to,
                         unsigned int flags);
  // mkdir(2): one new folder, no intermediates; an existing entry is an error (EEXIST).
  virtual void createDirectory(const std::filesystem::path& path, mode_t mode);
  // access(2) with W_OK: false also for a read-only file system, even for root.
  virtual bool isWritable(const std::filesystem::path& path);
  // Whether path is the root of a mounted file system (false when nothing is there).
  virtual bool isMountPoint(const std::filesystem::path& path);
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
  UniqueFd open(const std::filesystem::path& path, int flags, mode_t mode) override {
    return target_.open(path, flags, mode);
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
  RegularFile openRegularFile(const std::filesystem::path& path) override {
    return target_.openRegularFile(path);
  }
  std::string readRegularFile(const std::filesystem::path& path, std::size_t maximumSize) override {
    return target_.readRegularFile(path, maximumSize);
  }
  void writeFileAtomically(const std::filesystem::path& path, std::string_view data,
                           mode_t mode) override {
    target_.writeFileAtomically(path, data, mode);
  }
  FileStatus status(const std::filesystem::path& path) override { return target_.status(path); }
  void createDirectories(const std::filesystem::path& path, mode_t mode) override {
    target_.createDirectories(path, mode);
  }
  void removeItem(const std::filesystem::path& path) override { target_.removeItem(path); }
  void rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    target_.rename(from, to);
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
