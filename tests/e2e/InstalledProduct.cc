#include "tests/e2e/InstalledProduct.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "platform/bundle/Bundle.h"
#include "platform/formats/PropertyList.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/support/TestHttpsServer.h"
#include "tools/release/Identities.h"

namespace testing_support {
namespace fs = std::filesystem;
namespace plist = platform::plist;

InstalledProduct::InstalledProduct(const std::string& baseURL, bool ownVolume) {
  fs::create_directories(appURL().parent_path());
  if (ownVolume) {
    std::uintmax_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(BRAMLOW_APP_DIR))
      bytes += entry.is_regular_file() ? entry.file_size() : 0;
    // The installed application, the staged copy of the new one, the held image, and the file
    // system's own.
    volume_.emplace(root() / "volume.img", 4 * (bytes >> 20) + 16, appURL().parent_path());
    caches_ = appURL().parent_path() / ".cache";
    fs::create_directory(caches_);
  }
  fs::copy(BRAMLOW_APP_DIR, appURL(),
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  const fs::path extension = appURL() / "Contents/PlugIns" / kExtensionName;
  const fs::path updater = extension / "Contents/XPCServices/BramlowUpdater.xpc";
  for (const auto& [bundle, key, value] : {std::tuple(updater, "UpdateBaseURL", baseURL.c_str()),
                                           std::tuple(updater, "UpdateSigningTeam", kTeam),
                                           std::tuple(extension, "BramlowSigningTeam", kTeam)}) {
    plist::Dictionary info = platform::Bundle(bundle).infoDictionary();
    info[key] = value;
    writeInfoPlist(bundle, info);
  }
  // The system's tools, where the updater runs them.
  fs::create_directories(root() / "usr/sbin");
  fs::create_directories(root() / "usr/bin");
  fs::create_symlink(BRAMLOW_SPCTL, root() / "usr/sbin/spctl");
  fs::create_symlink(BRAMLOW_HDIUTIL, root() / "usr/bin/hdiutil");
  fs::create_symlink(BRAMLOW_DITTO, root() / "usr/bin/ditto");
  installAnchors(root());
  TestTlsIdentity::shared().installTrust(root());
  // A static web server serves with the publishing tool's loopback certificate.
  const fs::path trust = root() / "etc/ssl/certs/ca-certificates.crt";
  writeFile(trust, readFile(trust) + readFile(identityFile(bramlow::release::kTlsCaFile)));
  writeFile(root() / "System/Library/CoreServices/SystemVersion.plist",
            plist::serialize(plist::Dictionary{{"ProductVersion", "14.0"}}));
  for (const fs::path& bundle : {updater, extension, appURL()}) sign(bundle);
  for (const char* folder : {"home/.cache", "home/.config", "run"})
    fs::create_directories(root() / folder);
  fs::permissions(root() / "run", fs::perms::owner_all);
}

InstalledProduct::~InstalledProduct() {
  for (const pid_t pid : updaterProcesses()) ::kill(pid, SIGKILL);
  killProcessesWithEnvironment("BRAMLOW_PLATFORM_ROOT=" + root().string());
  waitForUpdaterExit(std::chrono::seconds(5));
}

fs::path InstalledProduct::appURL() const { return root() / "Applications" / kAppName; }

fs::path InstalledProduct::extensionExecutable() const {
  return appURL() / "Contents/PlugIns" / kExtensionName /
         "Contents/MacOS/Bramlow for Safari Extension";
}

fs::path InstalledProduct::servicesFolder() const {
  return appURL() / "Contents/PlugIns" / kExtensionName / "Contents/XPCServices";
}

void InstalledProduct::sign(const fs::path& bundle) const {
  const RunResult signing = runProgram(
      {BRAMLOW_CODESIGN, "--sign", identityFile("developer-id.pem").string(), bundle.string()});
  if (signing.exitCode != 0) throw std::runtime_error("codesign failed: " + signing.err);
}

std::vector<std::string> InstalledProduct::environment() const {
  return {"BRAMLOW_PLATFORM_ROOT=" + root().string(), "HOME=" + home().string(),
          "XDG_CACHE_HOME=" + caches_.string(), "XDG_CONFIG_HOME=" + (home() / ".config").string(),
          "XDG_RUNTIME_DIR=" + (root() / "run").string()};
}

void InstalledProduct::packageRelease(const std::string& baseURL, const fs::path& out) const {
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{BRAMLOW_RELEASE, "package", "--app", appURL().string(),
                                 "--identity", identityFile("developer-id.pem").string(),
                                 "--version", "2.0.0", "--build", "2", "--payload-version", "2.0.0",
                                 "--minimum-system", "11.0", "--base-url", baseURL, "--out",
                                 out.string()},
        {BRAMLOW_RELEASE, "check", out.string()}}) {
    const RunResult run = runProgram(command, environment());
    if (run.exitCode != 0) throw std::runtime_error(command[1] + " failed: " + run.err);
  }
}

void InstalledProduct::publishRelease(TestHttpsServer& server) const {
  const fs::path release = root() / "release";
  packageRelease(server.url("/updates/"), release);
  for (const std::string& name :
       {std::string("latest.json"), kArtifactPrefix + std::string("-2.dmg")}) {
    server.setReply("/updates/" + name, 200, readFile(release / name));
  }
}

std::vector<platform::Json> InstalledProduct::ask(const std::vector<std::string>& messages,
                                                  const fs::path& client,
                                                  const fs::path& services) const {
  // The host tool prints other lines too; the channel client only answers.
  const std::string prefix = client.empty() ? "answer:  " : "";
  std::vector<std::string> argv = {BRAMLOW_NATIVE_MESSAGE, extensionExecutable().string()};
  if (!client.empty()) argv = {client.string(), services.string(), kUpdaterID};
  argv.insert(argv.end(), messages.begin(), messages.end());
  std::istringstream lines(runProgram(argv, environment()).out);
  std::vector<platform::Json> answers;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(prefix))
      answers.push_back(platform::parseJson(line.substr(prefix.size())));
  }
  return answers;
}

std::vector<pid_t> InstalledProduct::updaterProcesses() const {
  std::vector<pid_t> pids;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    std::error_code ignored;  // not a process, or one that has ended
    const std::string exe = fs::read_symlink(entry.path() / "exe", ignored).string();
    if (exe.starts_with(root().string() + "/") &&
        exe.find("/MacOS/BramlowUpdater") != std::string::npos)
      pids.push_back(static_cast<pid_t>(std::stol(entry.path().filename())));
  }
  return pids;
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& extraEnvironment,
                                     const fs::path& log) {
  const std::vector<std::string> environment = environmentWith(extraEnvironment);
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const int spawned =
      ::posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool BackgroundProgram::running() {
  if (pid_ <= 0) return false;
  pid_t result;
  while ((result = ::waitpid(pid_, nullptr, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (result == 0) return true;
  // Helpers the program started may still run in its group: they end with it.
  ::kill(-pid_, SIGKILL);
  pid_ = -1;
  return false;
}

}  // namespace testing_support
