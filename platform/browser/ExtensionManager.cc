#include "platform/browser/ExtensionManager.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "platform/bundle/Bundle.h"
#include "platform/env/Env.h"
#include "platform/env/Errors.h"
#include "platform/env/Fd.h"
#include "platform/formats/Json.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace platform {
namespace fs = std::filesystem;

namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return value ? std::string(value) : std::string();
}

fs::path homeFolder() {
  const std::string home = variable("HOME");
  if (!home.empty()) return home;
  struct passwd entry {};
  struct passwd* result = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &result) == 0 && result) {
    return result->pw_dir;
  }
  return "/";
}

bool isExecutableFile(const fs::path& path) {
  try {
    // status() does not follow links, and the usual /usr/bin entries are links: check the target.
    return ::access(path.c_str(), X_OK) == 0 && !env().status(path).isDirectory;
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<fs::path> browserProgram(const Browser& browser) {
  for (const fs::path& candidate : browser.executables) {
    if (isExecutableFile(candidate)) return candidate;
  }
  return std::nullopt;
}

bool isPresent(const Browser& browser) {
  if (browserProgram(browser)) return true;
  try {
    return !browser.userFolder.empty() && env().status(browser.userFolder).exists;
  } catch (const std::exception&) {
    return true;  // something is there that we may not look at: the browser is installed
  }
}

bool namesExecutable(const std::string& manifestPath, const fs::path& executable) {
  const fs::path named(manifestPath);
  if (!named.is_absolute()) return false;  // browsers on this platform require absolute paths
  if (named.lexically_normal() == executable.lexically_normal()) return true;
  std::error_code error;
  return fs::equivalent(named, executable, error);
}

// Whether the manifest's list of who may start the host, in the browser's own member, names anyone.
bool allowsAnExtension(const Json& manifest, const std::string& allowedKey) {
  if (allowedKey.empty()) return true;
  const auto allowed = manifest.find(allowedKey);
  return allowed != manifest.end() && allowed->is_array() &&
         std::any_of(allowed->begin(), allowed->end(), [](const Json& entry) {
           return entry.is_string() && !entry.get_ref<const std::string&>().empty();
         });
}

// Whether any manifest of the browser names the executable. Throws when the manifest folder or
// one of its manifests cannot be read or parsed.
bool browserNamesExecutable(const Browser& browser, const fs::path& executable) {
  if (browser.manifestFolder.empty() || !env().status(browser.manifestFolder).exists) return false;
  std::vector<std::string> names = env().listDirectory(browser.manifestFolder);
  std::sort(names.begin(), names.end());
  bool found = false;
  for (const std::string& name : names) {
    if (name.size() <= 5 || !name.ends_with(".json")) continue;
    const fs::path manifest = browser.manifestFolder / name;
    Json json;
    try {
      json = parseJson(env().readFile(manifest));
    } catch (const JsonError& error) {
      throw std::runtime_error("The native messaging host manifest " + manifest.string() +
                               " could not be read. " + error.what());
    }
    const auto path = json.is_object() ? json.find("path") : json.end();
    if (path != json.end() && path->is_string() &&
        namesExecutable(path->get<std::string>(), executable) &&
        allowsAnExtension(json, browser.allowedKey)) {
      found = true;  // keep going: an unreadable manifest is an error whatever the others say
    }
  }
  return found;
}

fs::path requirePlugIn(const fs::path& appBundle, const std::string& identifier) {
  std::optional<fs::path> executable = plugInExecutable(appBundle, identifier);
  if (!executable) {
    throw std::runtime_error("No extension with the identifier " + identifier + " is in " +
                             appBundle.string() + ".");
  }
  return *executable;
}

struct FileActions {
  posix_spawn_file_actions_t actions;
  FileActions() { ::posix_spawn_file_actions_init(&actions); }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { ::posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

// A started program, reaped exactly once: by wait() or tryWait(), else by the destructor (which
// waits for it to end).
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (pid_ > 0) wait();
  }

  // The wait status once the child has ended, without blocking.
  std::optional<int> tryWait() { return reap(WNOHANG); }
  int wait() { return reap(0).value_or(0); }

 private:
  std::optional<int> reap(int options) {
    if (pid_ <= 0) return std::nullopt;
    int status = 0;
    const pid_t result = retryOnEintr([&] { return ::waitpid(pid_, &status, options); });
    if (result == 0) return std::nullopt;
    pid_ = -1;
    return result < 0 ? 0 : status;
  }

  pid_t pid_;
};

struct Launch {
  ChildProcess child;
  UniqueFd errors;  // read end of the child's stderr
};

Launch startProgram(const fs::path& program, const std::vector<std::string>& arguments) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno("Could not create a pipe for", program.string());
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);

  FileActions fa;
  ::posix_spawn_file_actions_addopen(&fa.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&fa.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_adddup2(&fa.actions, writeEnd.get(), STDERR_FILENO);
  ::posix_spawn_file_actions_addclosefrom_np(&fa.actions, 3);

  // The browser belongs to the user's session, not to us: its own process group and session, and
  // default signal handling whatever this process blocks or ignores.
  SpawnAttributes sa;
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  ::posix_spawnattr_setsigmask(&sa.attributes, &none);
  ::posix_spawnattr_setsigdefault(&sa.attributes, &all);
  ::posix_spawnattr_setflags(&sa.attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

  std::vector<std::string> strings{program.string()};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int result =
      ::posix_spawn(&pid, program.c_str(), &fa.actions, &sa.attributes, argv.data(), environ);
  if (result != 0) throw errnoError(result, "Could not start", program.string());
  return Launch{ChildProcess(pid), std::move(readEnd)};
}

// Reads what is available on fd into out (keeping at most a few KiB); false at end of file.
bool drain(int fd, std::string& out) {
  char buffer[4096];
  const ssize_t n = retryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
  if (n < 0) return errno == EAGAIN;
  if (n == 0) return false;
  if (out.size() < 4096) out.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::string describeExit(const std::string& name, int status, std::string errors) {
  std::string message = name;
  if (WIFSIGNALED(status)) {
    message += " was terminated by signal " + std::to_string(WTERMSIG(status));
  } else {
    message += " exited with status " + std::to_string(WEXITSTATUS(status));
  }
  while (!errors.empty() && (errors.back() == '\n' || errors.back() == '\r')) errors.pop_back();
  if (!errors.empty()) message += ": " + errors;
  return message + ".";
}

// Starts the browser and watches it for the grace period. Answers through completion; then, if the
// browser still runs, keeps reading its stderr (so it never blocks on a full pipe) and reaps it.
void showSettings(const fs::path& appBundle, const std::vector<Browser>& browsers,
                  const std::string& identifier, std::chrono::milliseconds gracePeriod,
                  const ExtensionManager::SettingsCompletion& completion) {
  std::optional<Launch> launch;
  std::string name;
  try {
    const fs::path executable = requirePlugIn(appBundle, identifier);
    const Browser* chosen = nullptr;
    std::optional<fs::path> program;
    for (const Browser& browser : browsers) {
      std::optional<fs::path> candidate = browserProgram(browser);
      if (!candidate) continue;
      bool enabled = false;
      try {
        enabled = browserNamesExecutable(browser, executable);
      } catch (const std::exception&) {
        // An unreadable manifest does not stop us from showing the settings.
      }
      if (!chosen || enabled) {
        chosen = &browser;
        program = candidate;
      }
      if (enabled) break;
    }
    if (!chosen) throw std::runtime_error("No supported browser is installed.");
    name = chosen->name;
    launch.emplace(startProgram(*program, chosen->settingsArguments));

    std::string errors;
    bool open = true;
    const auto deadline = std::chrono::steady_clock::now() + gracePeriod;
    for (;;) {
      if (std::optional<int> status = launch->child.tryWait()) {
        while (open && drain(launch->errors.get(), errors)) {
        }
        if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
          throw std::runtime_error(describeExit(name, *status, errors));
        }
        launch.reset();
        break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      // Wake up at least every 20 ms: a browser that hands over to a running instance may exit
      // while a helper still holds the pipe.
      pollfd p{launch->errors.get(), POLLIN, 0};
      const int timeout = static_cast<int>(std::min<long long>(left.count(), 20));
      if (open && ::poll(&p, 1, timeout) > 0) {
        open = drain(launch->errors.get(), errors);
      } else if (!open) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
      }
    }
  } catch (...) {
    completion(std::current_exception());
    return;
  }
  completion(nullptr);
  if (launch) {
    std::string ignored;
    while (drain(launch->errors.get(), ignored)) ignored.clear();
  }  // ~ChildProcess reaps the browser once it has closed its end
}

std::optional<ExtensionState> extensionState(const fs::path& appBundle,
                                             const std::vector<Browser>& browsers,
                                             const std::string& identifier) {
  const fs::path executable = requirePlugIn(appBundle, identifier);
  bool anyPresent = false;
  bool enabled = false;
  for (const Browser& browser : browsers) {
    if (!isPresent(browser)) continue;
    anyPresent = true;
    if (browserNamesExecutable(browser, executable)) enabled = true;
  }
  if (!anyPresent) return std::nullopt;
  return ExtensionState{enabled};
}

}  // namespace

std::vector<Browser> defaultBrowsers() {
  const fs::path home = homeFolder();
  const std::string xdgConfig = variable("XDG_CONFIG_HOME");
  const fs::path config =
      !xdgConfig.empty() && xdgConfig.front() == '/' ? fs::path(xdgConfig) : home / ".config";
  const fs::path bin = env().platformRoot() / "usr" / "bin";
  return {
      {"Chromium",
       {bin / "chromium", bin / "chromium-browser"},
       config / "chromium",
       config / "chromium" / "NativeMessagingHosts",
       {"chrome://extensions/"},
       "allowed_origins"},
      {"Google Chrome",
       {bin / "google-chrome", bin / "google-chrome-stable"},
       config / "google-chrome",
       config / "google-chrome" / "NativeMessagingHosts",
       {"chrome://extensions/"},
       "allowed_origins"},
      {"Firefox",
       {bin / "firefox", bin / "firefox-esr"},
       home / ".mozilla",
       home / ".mozilla" / "native-messaging-hosts",
       {"about:addons"},
       "allowed_extensions"},
  };
}

std::optional<fs::path> plugInExecutable(const fs::path& bundle, const std::string& identifier) {
  const fs::path plugIns = bundle / "Contents" / "PlugIns";
  std::vector<std::string> names;
  try {
    names = env().listDirectory(plugIns);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const Bundle plugIn(plugIns / name);
    const plist::Value* id = plugIn.objectForInfoDictionaryKey("CFBundleIdentifier");
    const plist::Value* executable = plugIn.objectForInfoDictionaryKey("CFBundleExecutable");
    if (!id || !id->string() || *id->string() != identifier) continue;
    if (!executable || !executable->string() || executable->string()->empty()) continue;
    return plugIn.bundlePath() / "Contents" / "MacOS" / *executable->string();
  }
  return std::nullopt;
}

BrowserExtensionManager::BrowserExtensionManager(fs::path appBundle, std::vector<Browser> browsers)
    : appBundle_(std::move(appBundle)), browsers_(std::move(browsers)) {}

std::optional<ExtensionState> BrowserExtensionManager::stateOfExtension(
    const std::string& identifier) const {
  return extensionState(appBundle_, browsers_, identifier);
}

void BrowserExtensionManager::getStateOfExtension(const std::string& identifier,
                                                  StateCompletion completion) {
  // The worker holds copies only, so it may outlive this manager.
  std::thread([appBundle = appBundle_, browsers = browsers_, identifier,
               completion = std::move(completion)] {
    std::optional<ExtensionState> state;
    std::exception_ptr error;
    try {
      state = extensionState(appBundle, browsers, identifier);
    } catch (...) {
      error = std::current_exception();
    }
    completion(state, error);
  }).detach();
}

void BrowserExtensionManager::showSettingsForExtension(const std::string& identifier,
                                                       SettingsCompletion completion) {
  std::thread([appBundle = appBundle_, browsers = browsers_, identifier, period = gracePeriod_,
               completion = std::move(completion)] {
    showSettings(appBundle, browsers, identifier, period, completion);
  }).detach();
}

}  // namespace platform
