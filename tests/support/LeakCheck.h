// What a failed update step may leave behind: nothing. A LeakCheck notes, when made, this
// process's open descriptors, the processes of a test folder (children of this process, and any
// process whose executable or command line lies below the folder, such as a file-system daemon
// serving a mount there), the mounts below the folder and the entries of some watched folders;
// expectNothingAdded() then fails the test for each one that was added.
#pragma once

#include <sys/types.h>

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
  struct Snapshot {
    std::map<int, std::string> descriptors;  // number -> what it refers to
    std::map<pid_t, std::string> processes;  // pid -> command line
    std::set<std::string> mounts;
    std::set<std::string> entries;  // watched folder / name
  };
  Snapshot take() const;
  // What now has and before had not, less what is kept; empty when clean.
  std::vector<std::string> added(const Snapshot& now, const std::set<std::string>& kept) const;

  std::filesystem::path root_;
  std::vector<std::filesystem::path> watched_;
  int serverPort_;
  Snapshot before_;
};

}  // namespace testing_support
