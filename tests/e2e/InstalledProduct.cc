#include "tests/e2e/InstalledProduct.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/Bundle.h"
#include "platform/PropertyList.h"
#include "tests/security/SigningTestSupport.h"

namespace testing_support {
namespace fs = std::filesystem;
namespace plist = platform::plist;

namespace {

void setInfoValues(const fs::path& bundle,
                   const std::vector<std::pair<std::string, std::string>>& values) {
  plist::Dictionary info = platform::Bundle(bundle).infoDictionary();
  for (const auto& [key, value] : values) info[key] = value;
  writeInfoPlist(bundle, info);
}

void runOrThrow(const std::vector<std::string>& argv) {
  const RunResult result = runProgram(argv);
  if (result.exitCode != 0) throw std::runtime_error(argv[0] + " failed: " + result.err);
}

}  // namespace

InstalledProduct::InstalledProduct(const std::string& baseURL, const char* identity) {
  const fs::path applications = root() / "Applications";
  fs::create_directories(applications);
  fs::copy(BRAMLOW_APP_DIR, appURL(),
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  const fs::path extension = extensionExecutable().parent_path().parent_path().parent_path();
  const fs::path updater = updaterExecutable().parent_path().parent_path().parent_path();
  setInfoValues(updater, {{"UpdateBaseURL", baseURL}, {"UpdateSigningTeam", kTeam}});
  setInfoValues(extension, {{"BramlowSigningTeam", kTeam}});

  // The system's tools, where the updater runs them.
  fs::create_directories(root() / "usr/sbin");
  fs::create_directories(root() / "usr/bin");
  fs::create_symlink(BRAMLOW_SPCTL, root() / "usr/sbin/spctl");
  fs::create_symlink(BRAMLOW_HDIUTIL, root() / "usr/bin/hdiutil");
  fs::create_symlink(BRAMLOW_DITTO, root() / "usr/bin/ditto");
  installAnchors(root());
  TestTlsIdentity::shared().installTrust(root());
  const fs::path core = root() / "System/Library/CoreServices";
  fs::create_directories(core);
  writeFile(core / "SystemVersion.plist",
            plist::serialize(plist::Dictionary{{"ProductVersion", "14.0"}}));

  const std::string identityPath = identityFile(identity).string();
  for (const fs::path& bundle : {updater, extension, appURL()}) {
    runOrThrow({BRAMLOW_CODESIGN, "--sign", identityPath, bundle.string()});
  }

  for (const char* folder : {"home/.cache", "run"}) fs::create_directories(root() / folder);
  fs::permissions(root() / "run", fs::perms::owner_all);
  environment_ = {"BRAMLOW_PLATFORM_ROOT=" + root().string(), "HOME=" + (root() / "home").string(),
                  "XDG_CACHE_HOME=" + (root() / "home/.cache").string(),
                  "XDG_RUNTIME_DIR=" + (root() / "run").string()};
}

InstalledProduct::~InstalledProduct() {
  for (const pid_t pid : updaterProcesses()) ::kill(pid, SIGKILL);
  waitForUpdaterExit(5);
}

fs::path InstalledProduct::appURL() const { return root() / "Applications" / kAppName; }

fs::path InstalledProduct::extensionExecutable() const {
  return appURL() / "Contents/PlugIns" / kExtensionName / "Contents/MacOS" /
         "Bramlow for Safari Extension";
}

fs::path InstalledProduct::updaterExecutable() const {
  return appURL() / "Contents/PlugIns" / kExtensionName /
         "Contents/XPCServices/BramlowUpdater.xpc/Contents/MacOS/BramlowUpdater";
}

fs::path InstalledProduct::cacheFolder() const {
  // One installed copy, so one folder: <caches>/com.bramlow.updates/<app id>/<digest of its path>.
  const fs::directory_iterator found(root() / "home/.cache/com.bramlow.updates" / kAppID);
  if (found == fs::directory_iterator()) throw std::runtime_error("no updater cache folder");
  return found->path();
}

std::vector<std::string> InstalledProduct::ask(const std::vector<std::string>& messages) const {
  std::vector<std::string> argv{BRAMLOW_NATIVE_MESSAGE, extensionExecutable().string()};
  argv.insert(argv.end(), messages.begin(), messages.end());
  const RunResult result = runProgram(argv, environment_);
  std::vector<std::string> answers;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("answer:  ", 0) == 0) answers.push_back(line.substr(9));
  }
  return answers;
}

std::vector<pid_t> InstalledProduct::updaterProcesses() const {
  std::vector<pid_t> pids;
  // Any updater run from this root: also one whose application an install has moved away.
  const std::string prefix = root().string() + "/";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ignored;
    const std::string exe = fs::read_symlink(entry.path() / "exe", ignored).string();
    if (exe.starts_with(prefix) && exe.find("/MacOS/BramlowUpdater") != std::string::npos) {
      pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return pids;
}

bool InstalledProduct::waitForUpdaterExit(int seconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!updaterProcesses().empty()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace testing_support
