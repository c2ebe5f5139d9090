#include "platform/env/Env.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>

#include "platform/env/Errors.h"
#include "platform/env/Locale.h"
#include "platform/formats/PropertyList.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

std::atomic<Env*> currentEnv{nullptr};

std::string envVariable(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return value ? std::string(value) : std::string();
}

// Parses "major[.minor[.patch]]"; pieces that do not read as numbers count as 0.
OperatingSystemVersion parseVersion(const std::string& text) {
  OperatingSystemVersion version;
  long* parts[] = {&version.major, &version.minor, &version.patch};
  std::size_t index = 0;
  std::size_t start = 0;
  while (index < 3 && start <= text.size()) {
    const std::size_t dot = text.find('.', start);
    const std::string piece = text.substr(start, dot == std::string::npos ? dot : dot - start);
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(piece.c_str(), &end, 10);
    if (!piece.empty() && end && *end == '\0' && errno == 0) *parts[index] = number;
    ++index;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return version;
}

}  // namespace

Env& Env::Default() {
  static PosixEnv* instance = new PosixEnv();  // never destroyed: used until the process ends
  return *instance;
}

Env& env() {
  Env* current = currentEnv.load(std::memory_order_acquire);
  return current ? *current : Env::Default();
}

ScopedEnvForTesting::ScopedEnvForTesting(Env& replacement)
    : previous_(currentEnv.exchange(&replacement)) {}

ScopedEnvForTesting::~ScopedEnvForTesting() { currentEnv.store(previous_); }

fs::path PosixEnv::platformRoot() {
  const std::string root = envVariable("BRAMLOW_PLATFORM_ROOT");
  return root.empty() ? fs::path("/") : fs::path(root);
}

fs::path PosixEnv::executablePath() {
  std::error_code error;
  fs::path path = fs::read_symlink("/proc/self/exe", error);
  if (error) throw std::system_error(error, "read /proc/self/exe");
  return path;
}

fs::path PosixEnv::cachesDirectory() {
  const std::string xdg = envVariable("XDG_CACHE_HOME");
  // The XDG rules ignore a relative value.
  if (!xdg.empty() && xdg.front() == '/') return fs::path(xdg);
  std::string home = envVariable("HOME");
  if (home.empty()) {
    const struct passwd* entry = ::getpwuid(::getuid());  // NOLINT(concurrency-mt-unsafe)
    if (entry && entry->pw_dir) home = entry->pw_dir;
  }
  if (home.empty()) home = "/";
  return fs::path(home) / ".cache";
}

OperatingSystemVersion PosixEnv::systemVersion() {
  const fs::path file = platformRoot() / "System/Library/CoreServices/SystemVersion.plist";
  try {
    const plist::Value value = plist::parse(readFile(file));
    const auto* dictionary = value.dictionary();
    if (!dictionary) return {};
    const std::string* product = plist::stringForKey(*dictionary, "ProductVersion");
    return product ? parseVersion(*product) : OperatingSystemVersion{};
  } catch (const std::exception&) {
    return {};
  }
}

std::chrono::system_clock::time_point PosixEnv::now() { return std::chrono::system_clock::now(); }

std::vector<std::string> PosixEnv::preferredLanguages() { return platform::preferredLanguages(); }

void PosixEnv::log(std::string_view line) {
  std::string entry(line);
  for (char& c : entry) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  try {
    const fs::path root = platformRoot();
    if (root == "/") {
      ::syslog(LOG_NOTICE, "%s", entry.c_str());
      return;
    }
    char stamp[32] = "";
    const std::time_t t = std::time(nullptr);
    struct tm parts {};
    if (::localtime_r(&t, &parts)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    std::string name = program_invocation_short_name ? program_invocation_short_name : "process";
    std::string record =
        std::string(stamp) + " " + name + "[" + std::to_string(::getpid()) + "]: " + entry + "\n";
    const fs::path folder = root / "var/log";
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    // One write(2) with O_APPEND keeps concurrent writers' lines whole.
    UniqueFd fd(
        ::open((folder / "system.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd) return;
    [[maybe_unused]] const ssize_t written = ::write(fd.get(), record.data(), record.size());
  } catch (...) {
    // Logging must never be the reason an operation fails.
  }
}

UniqueFd PosixEnv::open(const fs::path& path, int flags, mode_t mode, int directoryFd) {
  const int fd =
      retryOnEintr([&] { return ::openat(directoryFd, path.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) throwErrno("open", path.string());
  return UniqueFd(fd);
}

std::size_t PosixEnv::read(int fd, void* buffer, std::size_t size) {
  const ssize_t n = retryOnEintr([&] { return ::read(fd, buffer, size); });
  if (n < 0) throwErrno("read");
  return static_cast<std::size_t>(n);
}

void PosixEnv::writeAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = retryOnEintr([&] { return ::write(fd, p, size); });
    if (n < 0) throwErrno("write");
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

void PosixEnv::fsync(int fd) {
  if (::fsync(fd) != 0) throwErrno("fsync");
}

void PosixEnv::syncPath(const fs::path& path) {
  UniqueFd fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (::fsync(fd.get()) != 0) throwErrno("fsync", path.string());
}

void PosixEnv::syncFileSystem(const fs::path& path) {
  UniqueFd fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (::syncfs(fd.get()) != 0) throwErrno("syncfs", path.string());
}

void PosixEnv::close(int fd) {
  // Linux releases the descriptor even when close reports EINTR, so it is never retried.
  if (::close(fd) != 0 && errno != EINTR) throwErrno("close");
}

bool PosixEnv::tryLockExclusive(int fd) {
  return retryOnEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0;
}

std::string PosixEnv::readFile(const fs::path& path) {
  UniqueFd fd = open(path, O_RDONLY);
  std::string content;
  char buffer[65536];
  for (;;) {
    const std::size_t n = read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    content.append(buffer, n);
  }
  return content;
}

RegularFile PosixEnv::openRegularFile(const fs::path& path, int directoryFd) {
  UniqueFd fd;
  try {
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one.
    fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0, directoryFd);
  } catch (const std::system_error& error) {
    // A link (ELOOP), a socket (ENXIO) or a device without its driver cannot even be opened;
    // what is there only names the error, nothing is read by this look.
    struct stat info {};
    if (::fstatat(directoryFd, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(info.st_mode)) {
      throw NotRegularFileError(error.code(), "open " + path.string());
    }
    throw;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throwErrno("stat", path.string());
  if (!S_ISREG(info.st_mode)) {
    throw NotRegularFileError(EINVAL, std::generic_category(), "open " + path.string());
  }
  return {std::move(fd), static_cast<std::uint64_t>(info.st_size), info.st_uid, info.st_mode, path};
}

std::string PosixEnv::readRegularFile(const fs::path& path, std::size_t maximumSize,
                                      int directoryFd) {
  return readToEnd(openRegularFile(path, directoryFd), maximumSize);
}

std::string PosixEnv::readToEnd(const RegularFile& file, std::size_t maximumSize) {
  const std::string path = file.path.string();
  if (file.size > maximumSize) throw errnoError(EFBIG, "read", path);
  const UniqueFd& fd = file.fd;
  // The file may grow after fstat: reading one byte beyond the bound notices that.
  std::string content;
  content.reserve(static_cast<std::size_t>(file.size));
  char buffer[65536];
  for (;;) {
    const std::size_t n =
        read(fd.get(), buffer, std::min(sizeof buffer, maximumSize - content.size() + 1));
    if (n == 0) break;
    content.append(buffer, n);
    if (content.size() > maximumSize) throw errnoError(EFBIG, "read", path);
  }
  return content;
}

void PosixEnv::writeFileAtomically(const fs::path& path, std::string_view data, mode_t mode,
                                   int directoryFd) {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const fs::path temp = path.parent_path() /
                        ("." + path.filename().string() + "." + std::to_string(::getpid()) + "." +
                         std::to_string(random()) + "." + std::to_string(counter++) + ".tmp");
  UniqueFd fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode, directoryFd);
  try {
    writeAll(fd.get(), data.data(), data.size());
    fsync(fd.get());
    close(fd.release());
    rename(temp, path, directoryFd);
  } catch (...) {
    ::unlinkat(directoryFd, temp.c_str(), 0);
    throw;
  }
  const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  if (directoryFd == AT_FDCWD || folder.is_absolute()) {
    syncPath(folder);
  } else {
    fsync(open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0, directoryFd).get());
  }
}

FileStatus PosixEnv::status(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    throwErrno("stat", path.string());
  }
  FileStatus status;
  status.exists = true;
  status.isDirectory = S_ISDIR(info.st_mode);
  status.isRegular = S_ISREG(info.st_mode);
  status.isSymlink = S_ISLNK(info.st_mode);
  status.size = static_cast<std::uint64_t>(info.st_size);
  status.mode = info.st_mode;
  status.modificationTime = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(info.st_mtim.tv_sec) +
          std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
  return status;
}

void PosixEnv::createDirectories(const fs::path& path, mode_t mode) {
  fs::path partial;
  for (const auto& component : path) {
    partial /= component;
    if (component.empty() || component == "/") continue;
    if (::mkdir(partial.c_str(), mode) == 0) continue;
    if (errno == EEXIST) {
      struct stat info {};
      if (::stat(partial.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
      throw errnoError(EEXIST, "mkdir", partial.string());
    }
    throwErrno("mkdir", partial.string());
  }
}

void PosixEnv::removeItem(const fs::path& path) {
  std::error_code error;
  fs::remove_all(path, error);
  if (error) throw std::system_error(error, "remove " + path.string());
}

void PosixEnv::rename(const fs::path& from, const fs::path& to, int directoryFd) {
  if (::renameat(directoryFd, from.c_str(), directoryFd, to.c_str()) != 0) {
    throwErrno("rename", from.string());
  }
}

std::vector<std::string> PosixEnv::listDirectory(const fs::path& path) {
  UniqueFd fd = open(path, O_RDONLY | O_DIRECTORY);
  DIR* raw = ::fdopendir(fd.get());
  if (!raw) throwErrno("opendir", path.string());
  fd.release();  // the DIR owns it now
  std::unique_ptr<DIR, int (*)(DIR*)> dir(raw, ::closedir);
  std::vector<std::string> names;
  errno = 0;
  while (const struct dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (errno != 0) throwErrno("readdir", path.string());
  return names;
}

fs::path PosixEnv::makeTemporaryDirectory(const fs::path& pathTemplate) {
  std::string name = pathTemplate.string();
  if (::mkdtemp(name.data()) == nullptr) throwErrno("mkdtemp", pathTemplate.string());
  return fs::path(name);
}

void PosixEnv::renameat2(const fs::path& from, const fs::path& to, unsigned int flags) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) != 0) {
    throwErrno("renameat2", from.string());
  }
}

void PosixEnv::createDirectory(const fs::path& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0) throwErrno("mkdir", path.string());
}

ProcessResult PosixEnv::runProcess(const fs::path& executable,
                                   const std::vector<std::string>& arguments) {
  return spawnAndWait(platformRoot() / executable.relative_path(), arguments);
}

bool PosixEnv::isWritable(const fs::path& path) { return ::access(path.c_str(), W_OK) == 0; }

bool PosixEnv::isMountPoint(const fs::path& path) {
  struct statx here {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &here) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throwErrno("statx", path.string());
  }
  if ((here.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (here.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  // Older kernels: a mount root sits on another device than its parent.
  struct stat self {};
  struct stat parent {};
  if (::lstat(path.c_str(), &self) != 0 || ::lstat((path / "..").c_str(), &parent) != 0) {
    throwErrno("stat", path.string());
  }
  return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

}  // namespace platform
