// UpdateSecurity against real signed code: bundles and images on disk, and running processes.
#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/codesign/Internal.h"
#include "platform/env/Fd.h"
#include "shared/UpdateFailure.h"
#include "shared/UpdateSecurity.h"
#include "tests/security/SigningTestSupport.h"
#include "tests/support/FailureText.h"

namespace {
namespace fs = std::filesystem;
namespace release = bramlow::release;
namespace markers = bramlow::markers;
namespace UpdateSecurity = bramlow::UpdateSecurity;
using namespace testing_support;

// A running process: a copy of sleep as the main executable of a signed bundle, started plainly or
// with a library preloaded (returned once it is mapped).
class Peer {
 public:
  explicit Peer(const fs::path& executable, const std::string& preload = {}) {
    std::string path = executable.string(), variable = "LD_PRELOAD=" + preload, seconds = "60";
    char* argv[] = {path.data(), seconds.data(), nullptr};
    char* envp[] = {preload.empty() ? nullptr : variable.data(), nullptr};
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv, envp) != 0) pid_ = -1;
    if (pid_ > 0) pidfd_ = platform::UniqueFd(int(::syscall(SYS_pidfd_open, pid_, 0)));
    const std::string maps = "/proc/" + std::to_string(pid_) + "/maps";
    waitUntil(std::chrono::seconds(5),
              [&] { return readFile(maps).find(preload) != std::string::npos; });
  }
  ~Peer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  platform::PeerIdentity identity() const { return {pid_, pidfd_.get()}; }

 private:
  pid_t pid_ = -1;
  platform::UniqueFd pidfd_;
};

class MessageSenderTest : public SigningTest {
 protected:
  // What a passed check verified is recorded for the next check, in this process or another, in
  // a folder of the user's runtime folder: one of the test's own.
  MessageSenderTest() {
    fs::create_directory(runtime_);
    fs::permissions(runtime_, fs::perms::owner_all);
  }
  static fs::path executableOf(const TestApp& app) {
    return app.extensionURL / "Contents/MacOS/Bramlow for Safari Extension";
  }
  TestApp runnableApp(const std::string& folder) {
    TestApp app = makeTestApp(dir_.path() / folder);
    fs::copy_file("/bin/sleep", executableOf(app), fs::copy_options::overwrite_existing);
    fs::permissions(executableOf(app), fs::perms::owner_all);
    signApp(app);
    return app;
  }
  // A copy with extra bytes renamed over the executable.
  static void replaceExecutable(const TestApp& app, const std::string& extra) {
    const fs::path copy = app.extensionURL / "Contents/MacOS/new";
    fs::copy_file(executableOf(app), copy);
    writeFile(copy, readFile(executableOf(app)) + extra);
    fs::rename(copy, executableOf(app));
  }
  static std::string verify(platform::PeerIdentity peer,
                            const std::optional<std::string>& identifier, const std::string& team) {
    return failureText([&] { UpdateSecurity::verifyMessageSender(peer, identifier, team); });
  }
  const std::string connection_{markers::kConnectionNotAuthenticated};
  const fs::path runtime_ = dir_.path() / "run";
  ScopedEnvironment environment_{{{"XDG_RUNTIME_DIR", runtime_.string()}}};
};

TEST_F(MessageSenderTest, ChangedVanishedTracedOrPreloadedPeerIsRefused) {
  const struct {
    const char* name;
    std::function<void(const TestApp&)> change;
    bool beforeStart = false;
  } rows[] = {
      // The process still runs the old file, which is no longer what the bundle holds.
      {"executable replaced", [](const TestApp& a) { replaceExecutable(a, ""); }},
      // The process runs a file that is not what was sealed.
      {"executable changed before it started", [](const TestApp& a) { replaceExecutable(a, "x"); },
       true},
      // Same size and times as what passed the check before: only the change time tells.
      {"Info.plist rewritten in place, times restored",
       [](const TestApp& a) {
         const fs::path info = a.extensionURL / "Contents/Info.plist";
         const auto modified = fs::last_write_time(info);
         std::string text = readFile(info);
         text[text.find("<dict>") + 1] = 'D';
         writeFile(info, text);
         fs::last_write_time(info, modified);
       }},
  };
  // What passed a check is remembered only for files last changed in an earlier second than the
  // check, so the checks start a second after the signing, and look again a second after the
  // changes: a change after a passed check must be noticed by the next one.
  std::vector<TestApp> apps;
  std::vector<std::unique_ptr<Peer>> peers;
  for (const auto& row : rows) {
    apps.push_back(runnableApp(row.name));
    if (row.beforeStart) row.change(apps.back());
  }
  const TestApp untouched = runnableApp("untouched");
  ::usleep(1100000);
  Peer untouchedPeer(executableOf(untouched));
  EXPECT_EQ(verify(untouchedPeer.identity(), kExtensionID, kTeam), "");
  for (std::size_t i = 0; i < apps.size(); ++i) {
    peers.push_back(std::make_unique<Peer>(executableOf(apps[i])));
    if (!rows[i].beforeStart) {
      EXPECT_EQ(verify(peers[i]->identity(), kExtensionID, kTeam), "") << rows[i].name;
      rows[i].change(apps[i]);
    }
  }
  ::usleep(1100000);
  for (std::size_t i = 0; i < apps.size(); ++i) {
    EXPECT_EQ(verify(peers[i]->identity(), kExtensionID, kTeam), connection_) << rows[i].name;
  }
  // The stand-in for a hardened runtime: a peer that runs code from a file that a process of its
  // user could have written, or that is being traced, is not the code that was signed.
  EXPECT_EQ(verify(untouchedPeer.identity(), kExtensionID, "TE\"AM"),
            markers::kSigningRequirementInvalid);
  // Any library will do, copied below /tmp (open to everybody, so outside root-owned folders).
  Dl_info loaded{};
  ASSERT_NE(::dladdr(reinterpret_cast<void*>(&EVP_sha256), &loaded), 0);
  const fs::path library = dir_.path() / fs::path(loaded.dli_fname).filename();
  fs::copy_file(loaded.dli_fname, library);
  Peer preloaded(executableOf(untouched), library.string());
  EXPECT_EQ(verify(preloaded.identity(), kExtensionID, kTeam), connection_) << "preloaded";
  Peer traced(executableOf(untouched));
  ASSERT_EQ(::ptrace(PTRACE_SEIZE, traced.identity().pid, nullptr, nullptr), 0);
  EXPECT_EQ(verify(traced.identity(), kExtensionID, kTeam), connection_) << "traced";
  // The pidfd, not the number, names the sender: one that has ended is refused, though the number
  // may have passed to another signed process.
  const platform::UniqueFd ended(
      ::fcntl(Peer(executableOf(untouched)).identity().pidfd, F_DUPFD_CLOEXEC, 0));
  EXPECT_EQ(verify({untouchedPeer.identity().pid, ended.get()}, kExtensionID, kTeam), connection_);
  // This test binary does not live in a bundle.
  EXPECT_EQ(verify({::getpid(), -1}, std::nullopt, kTeam), connection_);
}

// The kernel's answers, one executable mapping at a time, and the text of the maps (all a kernel
// without those answers gives) must name the same code, anonymous memory included.
TEST(RunningCodeTest, ExecutableMappingsAreTheSameWhereverTheyAreRead) {
  void* anonymous =
      ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(anonymous, MAP_FAILED);
  const platform::UniqueFd self(::open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  namespace codesign = platform::codesign;
  const std::vector<std::string> asked = codesign::executableMappings(self.get());
  std::vector<std::string> text =
      codesign::executableMappings(self.get(), codesign::MappingSource::kText);
  ::munmap(anonymous, 4096);
  std::erase(text, "[vsyscall]");
  EXPECT_EQ(asked, text);
  EXPECT_THAT(asked, ::testing::IsSupersetOf({std::string(), std::string("[vdso]"),
                                              fs::read_symlink("/proc/self/exe").string()}));
}

// What passed a check is recorded only under files last changed in an earlier second than the
// check began: a change in the same second may leave the change time as it was.
TEST(RunningCodeTest, OnlyFilesChangedBeforeTheChecksSecondServeAsKeys) {
  const TempDir dir;
  writeFile(dir.path() / "file", "x");
  const platform::UniqueFd fd(::open((dir.path() / "file").c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  ASSERT_EQ(::fstat(fd.get(), &info), 0);
  const timespec checkBegan{info.st_ctim.tv_sec + 1, 0};
  for (const auto& [name, changed, keyed] :
       {std::tuple("the second before", timespec{checkBegan.tv_sec - 1, 999999999}, true),
        std::tuple("the same second", checkBegan, false),
        std::tuple("a later second", timespec{checkBegan.tv_sec + 1, 0}, false)}) {
    info.st_ctim = changed;
    EXPECT_EQ(platform::codesign::identityOf(fd.get(), info, checkBegan).has_value(), keyed)
        << name;
  }
}

// A record is believed whole, so only from a file no other user can write (its folder is a user
// folder); one that cannot be read is verified anew and replaced.
TEST_F(MessageSenderTest, RecordsOfPassedChecksAreBelievedOnlyInPrivate) {
  const TestApp app = runnableApp("app");
  ::usleep(1100000);
  Peer peer(executableOf(app));
  ASSERT_EQ(verify(peer.identity(), kExtensionID, kTeam), "");
  const std::vector<fs::path> records(fs::directory_iterator(runtime_ / "bramlow-codesign"), {});
  ASSERT_EQ(records.size(), 1U);
  const fs::path record = records.front();
  EXPECT_EQ(fs::status(record).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const auto hex = [](const std::string& text) {
    std::string out;
    for (const unsigned char c : text)
      out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
    return "identifier " + out;
  };
  std::string forged = readFile(record);
  const std::size_t at = forged.find(hex(kExtensionID) + "\n");
  ASSERT_NE(at, std::string::npos);
  writeFile(record, forged.replace(at, hex(kExtensionID).size(), hex(kUpdaterID)));
  EXPECT_EQ(verify(peer.identity(), kUpdaterID, kTeam), "") << "private: believed";
  fs::permissions(record, fs::perms::group_write, fs::perm_options::add);
  EXPECT_EQ(verify(peer.identity(), kUpdaterID, kTeam), connection_) << "others may write it";
  fs::permissions(record, fs::perms::owner_read | fs::perms::owner_write);
  writeFile(record, "verified code 1\nbundle zz\n");
  EXPECT_EQ(verify(peer.identity(), kExtensionID, kTeam), "") << "unreadable";
  EXPECT_NE(readFile(record).find(hex(kExtensionID)), std::string::npos);
}

}  // namespace
