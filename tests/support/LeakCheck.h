// What a failed update step may leave behind: nothing. A LeakCheck notes, when made, this
// process's open descriptors, the processes of a test folder (children of this process, and any
// process whose executable or command line lies below the folder, such as a file-system daemon
// serving a mount there), the mounts below the folder and the entries of some watched folders;
// expectNothingAdded() then fails the test for each one that was added.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace testing_support {

class LeakCheck {
 public:
  // root: the test's folder; watched: folders whose entries must not grow (a cache folder, the
  // folder that holds the application); serverPort: a loopback server of this process whose
  // own connections may still be open (a stalled reply), never counted as the client's.
  LeakCheck(std::filesystem::path root, std::vector<std::filesystem::path> watched,
            int serverPort = 0);

  // Waits briefly for what ends by itself (a daemon after its unmount), then expects nothing
  // added but the names in kept (what a successful earlier step legitimately keeps).
  void expectNothingAdded(const std::set<std::string>& kept = {}) const;

 private:
  // Each thing found, by a key that changes when the thing does (a descriptor's number and target,
  // a process's id), with what a failure shows besides; the server's sockets and kept entries left
  // out.
  std::map<std::string, std::string> take(const std::set<std::string>& kept) const;

  std::filesystem::path root_;
  std::vector<std::filesystem::path> watched_;
  int serverPort_;
  std::map<std::string, std::string> before_;
};

}  // namespace testing_support
