#include "platform/xpc/Rendezvous.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/bundle/Bundle.h"
#include "platform/env/Errors.h"
#include "platform/env/UserFolder.h"
#include "platform/xpc/Wire.h"

#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76
#endif

extern char** environ;

namespace platform::xpc::rendezvous {
namespace fs = std::filesystem;
namespace {

// FNV-1a over the bundle's real path, as 16 hex digits. It only has to tell two copies of a service
// apart; it is no defence (the folder is private to the user, and every message's sender is
// checked), and it keeps the crypto library's start-up off the path of every connection.
std::string pathDigest(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string digits(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4)
    digits[static_cast<std::size_t>(i)] = kDigits[hash & 0xf];
  return digits;
}

sockaddr_un addressOf(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.size() >= sizeof(address.sun_path)) {
    throw std::runtime_error("The XPC socket path " + text + " is " + std::to_string(text.size()) +
                             " bytes, more than a socket address holds (" +
                             std::to_string(sizeof(address.sun_path) - 1) +
                             "): set XDG_RUNTIME_DIR to a shorter folder");
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return address;
}

UniqueFd newSocket() {
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd) throwErrno("Cannot create an XPC socket");
  return fd;
}

// The service of the bundle whose real path is bundlePath and whose Info.plist bundle holds.
Service serviceOf(const fs::path& bundlePath, const Bundle& bundle) {
  Service service;
  service.bundle = bundlePath;
  const std::string* name = plist::stringForKey(bundle.infoDictionary(), "CFBundleIdentifier");
  const std::string* executable =
      plist::stringForKey(bundle.infoDictionary(), "CFBundleExecutable");
  if (!name || name->empty() || !executable || executable->empty()) {
    throw std::runtime_error("Not an XPC service bundle: " + service.bundle.string());
  }
  service.name = *name;
  service.executable = service.bundle / "Contents" / "MacOS" / *executable;
  // The name keeps the folder readable; the digest keeps two copies of one service apart.
  const std::string stem = service.name.substr(0, 24) + "-" + pathDigest(service.bundle.native());
  // Refused when it is not the user's alone: another user's folder could be a trap.
  const fs::path folder = openUserFolder("bramlow-xpc").path;
  service.socketPath = folder / (stem + ".sock");
  service.lockPath = folder / (stem + ".lock");
  // A caches folder deep in a long home can leave no room: said here, never cut short.
  addressOf(service.socketPath);
  return service;
}

}  // namespace

Service serviceAt(const fs::path& bundlePath) {
  const fs::path real = fs::canonical(bundlePath);
  return serviceOf(real, Bundle(real));
}

Service findService(const std::string& name, const fs::path& servicesFolder) {
  std::error_code error;
  for (fs::directory_iterator it(servicesFolder, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().extension() != ".xpc") continue;
    // Each candidate's Info.plist is read once, from its real path, which names the service.
    const fs::path real = fs::canonical(it->path());
    const Bundle bundle(real);
    const std::string* identifier =
        plist::stringForKey(bundle.infoDictionary(), "CFBundleIdentifier");
    if (identifier && *identifier == name) return serviceOf(real, bundle);
  }
  throw std::runtime_error("No XPC service named " + name + " in " + servicesFolder.string());
}

void prepareSocket(int fd) {
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    throwErrno("Cannot ask for XPC sender credentials");
  }
  // Older kernels have no pidfds for messages; the sender is then known by pid alone.
  (void)::setsockopt(fd, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on);
  // The kernel doubles this; the default buffer of some systems is smaller than one packet.
  const int size = static_cast<int>(wire::kMaxPacketSize);
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

UniqueFd tryConnect(const Service& service) {
  UniqueFd fd = newSocket();
  prepareSocket(fd.get());
  const sockaddr_un address = addressOf(service.socketPath);
  const auto* target = reinterpret_cast<const sockaddr*>(&address);
  if (retryOnEintr([&] { return ::connect(fd.get(), target, sizeof address); }) == 0) return fd;
  if (errno == ENOENT || errno == ECONNREFUSED) return UniqueFd();
  throwErrno("Cannot connect to XPC service", service.socketPath.string());
}

UniqueFd lockActivation(const Service& service) {
  UniqueFd fd(::open(service.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) throwErrno("Cannot open the XPC activation lock", service.lockPath.string());
  if (retryOnEintr([&] { return ::flock(fd.get(), LOCK_EX); }) != 0) {
    throwErrno("Cannot lock", service.lockPath.string());
  }
  return fd;
}

UniqueFd listenAt(const Service& service) {
  UniqueFd fd = newSocket();
  const sockaddr_un address = addressOf(service.socketPath);
  if (::unlink(service.socketPath.c_str()) != 0 && errno != ENOENT) {
    throwErrno("Cannot remove the stale XPC socket", service.socketPath.string());
  }
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throwErrno("Cannot bind the XPC socket", service.socketPath.string());
  }
  if (::listen(fd.get(), SOMAXCONN) != 0)
    throwErrno("Cannot listen on", service.socketPath.string());
  return fd;
}

void spawnService(const Service& service, int listener) {
  // Everything the children need is made before fork: after it, only async-signal-safe calls.
  std::vector<std::string> environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    if (std::strncmp(*entry, "LISTEN_", 7) != 0) environment.emplace_back(*entry);
  }
  environment.emplace_back("LISTEN_FDS=1");
  environment.emplace_back("LISTEN_PID=" + std::string(24, '\0'));
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char* const listenPid = environment.back().data() + std::strlen("LISTEN_PID=");
  std::string executable = service.executable.native();
  char* argv[] = {executable.data(), nullptr};

  const pid_t intermediate = ::fork();
  if (intermediate < 0) throwErrno("Cannot start XPC service", service.executable.string());
  if (intermediate == 0) {
    ::setsid();
    const pid_t child = ::fork();
    if (child != 0) ::_exit(child < 0 ? 1 : 0);
    // The service itself: fd 3 is the listener, 0-2 are /dev/null, nothing else survives.
    const int high = ::fcntl(listener, F_DUPFD, 10);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (high < 0 || devnull < 0 || ::dup2(high, 3) != 3) ::_exit(127);
    for (int target = 0; target < 3; ++target) {
      if (::dup2(devnull, target) != target) ::_exit(127);
    }
    ::close_range(4, ~0U, 0);
    char digits[24];
    int length = 0;
    for (pid_t pid = ::getpid(); pid > 0; pid /= 10)
      digits[length++] = static_cast<char>('0' + pid % 10);
    for (int i = 0; i < length; ++i) listenPid[i] = digits[length - 1 - i];
    listenPid[length] = '\0';
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &standard, nullptr);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  int status = 0;
  retryOnEintr([&] { return ::waitpid(intermediate, &status, 0); });
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("Cannot start XPC service " + service.executable.string());
  }
}

UniqueFd connectToService(const Service& service) {
  if (UniqueFd fd = tryConnect(service)) return fd;
  const UniqueFd lock = lockActivation(service);
  // Another client may have started it while this one waited for the lock.
  if (UniqueFd fd = tryConnect(service)) return fd;
  if (::access(service.executable.c_str(), X_OK) != 0) {
    throwErrno("Cannot start XPC service", service.executable.string());
  }
  const UniqueFd listener = listenAt(service);
  UniqueFd fd = tryConnect(service);
  if (!fd) throw std::runtime_error("Cannot connect to the new XPC socket");
  spawnService(service, listener.get());
  return fd;
}

}  // namespace platform::xpc::rendezvous
