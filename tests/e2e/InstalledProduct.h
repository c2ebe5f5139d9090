// The built application installed into a test platform root as a user would have it: signed
// inside out with the test team's identities by the codesign tool, its updater pointed at a test
// HTTPS server, and an environment for the processes that run it (platform root, home, caches and
// runtime folders of its own, so tests never meet each other's services).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TestHttpsServer.h"
#include "tests/support/TestSupport.h"

namespace testing_support {

class InstalledProduct {
 public:
  // Installs and signs with `identity` (a file of the test identities).
  InstalledProduct(const std::string& baseURL, const char* identity = "developer-id.pem");
  ~InstalledProduct();

  const std::filesystem::path& root() const { return root_.path(); }
  std::filesystem::path appURL() const;
  std::filesystem::path extensionExecutable() const;
  std::filesystem::path updaterExecutable() const;
  const std::vector<std::string>& environment() const { return environment_; }
  // The updater's cache folder, once an updater has made it.
  std::filesystem::path cacheFolder() const;

  // Sends each message through the real extension host, as a browser would, and returns the
  // answers in order (an answer missing when the host gave none).
  std::vector<std::string> ask(const std::vector<std::string>& messages) const;

  // The processes that run an updater of this installation (also one an install has replaced).
  std::vector<pid_t> updaterProcesses() const;
  // Waits up to `seconds` for every updater process to end; false when one is still running.
  bool waitForUpdaterExit(int seconds) const;

 private:
  TempDir root_;
  std::vector<std::string> environment_;
};

}  // namespace testing_support
