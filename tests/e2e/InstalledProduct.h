// The end-to-end tests' world: the built application installed and signed in a test platform root,
// releases of it made by the publishing tool, and programs (servers, browsers) run beside it.
#pragma once

#include <sys/types.h>

#include "platform/formats/Json.h"
#include "tests/support/LoopVolume.h"
#include "tests/support/TestSupport.h"

namespace testing_support {
class TestHttpsServer;

// The requests of an update to release 2, and the answers to them.
inline constexpr const char* kInfo = R"({"action":"info"})";
inline constexpr const char* kCheck = R"({"action":"check"})";
inline constexpr const char* kDownload = R"({"action":"download","build":"2"})";
inline constexpr const char* kInstall = R"({"action":"install","build":"2"})";
inline const platform::Json kChecked = {
    {"version", "2"}, {"nativeVersion", "2.0.0"}, {"payloadVersion", "2.0.0"}};
inline const platform::Json kDownloaded = {{"version", "2"}};
inline const platform::Json kInstalled = {{"version", "2"}, {"installed", true}};
// What "info" answers at build 1 or 2.
inline platform::Json infoAnswer(int build, bool supported = true) {
  return {{"supported", supported},
          {"build", std::to_string(build)},
          {"nativeVersion", std::to_string(build) + ".0.0"}};
}

// The built application installed into a test platform root as a user would have it: signed inside
// out by the codesign tool, its updater pointed at baseURL, and an environment of its own
// (platform root, home, caches and runtime folders), so tests never meet each other's services.
// The root trusts the shared test TLS identity and the test identities' tls-ca.pem.
class InstalledProduct {
 public:
  // ownVolume puts the application's folder, and the caches in it, on a small ext4 volume of its
  // own, for power cuts.
  explicit InstalledProduct(const std::string& baseURL, bool ownVolume = false);
  // Kills every process still running with this root: updaters, hosts, a browser's helpers.
  ~InstalledProduct();

  const std::filesystem::path& root() const { return root_.path(); }
  std::filesystem::path home() const { return root() / "home"; }
  const LoopVolume& volume() const { return *volume_; }
  std::filesystem::path appURL() const;
  std::filesystem::path extensionExecutable() const;
  std::filesystem::path servicesFolder() const;
  std::vector<std::string> environment() const;
  // Signs a bundle with the test identity, as the installed bundles are.
  void sign(const std::filesystem::path& bundle) const;

  // Release 2 (version 2.0.0) of the installed application for baseURL, written by the publishing
  // tool's "package" into out and passed by its "check".
  void packageRelease(const std::string& baseURL, const std::filesystem::path& out) const;
  // That release packaged into root()/release and served by server under /updates/.
  void publishRelease(TestHttpsServer& server) const;

  // Sends each message through the real extension host, as a browser would, or, given a client,
  // straight to the updater in services through that channel client; the answers in order.
  std::vector<platform::Json> ask(const std::vector<std::string>& messages,
                                  const std::filesystem::path& client = {},
                                  const std::filesystem::path& services = {}) const;

  // The processes that run an updater of this installation (also one an install has moved away).
  std::vector<pid_t> updaterProcesses() const;
  bool waitForUpdaterExit(std::chrono::seconds timeout) const {
    return waitUntil(timeout, [this] { return updaterProcesses().empty(); });
  }

 private:
  TempDir root_;
  std::filesystem::path caches_ = home() / ".cache";
  std::optional<LoopVolume> volume_;  // unmounted before root_ goes, after the updaters ended
};

// A program running in the background in its own process group, its output appended to a log
// file. The destructor kills the group and reaps the program.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::vector<std::string>& argv,
                    const std::vector<std::string>& extraEnvironment,
                    const std::filesystem::path& log);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  // False once the program has ended (it is reaped then).
  bool running();

 private:
  pid_t pid_ = -1;
};

}  // namespace testing_support
