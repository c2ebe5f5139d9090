// UpdateSecurity against real signed code: bundles and images on disk, and running processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shared/UpdateFailure.h"
#include "shared/UpdateSecurity.h"
#include "tests/security/SigningTestSupport.h"
#include "tools/release/Identities.h"

namespace {
namespace fs = std::filesystem;
namespace codesign = platform::codesign;
namespace release = bramlow::release;
namespace markers = bramlow::markers;
namespace UpdateSecurity = bramlow::UpdateSecurity;
using bramlow::UpdateFailure;
using namespace testing_support;

// The marker a call raised, or "" when it returned.
template <typename Call>
std::string outcome(Call&& call) {
  try {
    call();
    return "";
  } catch (const UpdateFailure& failure) {
    return failure.text();
  }
}

class UpdateSecurityTest : public ::testing::Test {
 protected:
  UpdateSecurityTest() : env_(dir_.path() / "root"), scoped_(env_) {
    installAnchors(env_.platformRoot());
  }
  TempDir dir_;
  TestEnv env_;
  platform::ScopedEnvForTesting scoped_;
};

TEST_F(UpdateSecurityTest, VerifyCodeOnBundles) {
  const TestApp app = makeTestApp(dir_.path() / "good");
  signApp(app, identityFile(release::kDeveloperIdIdentity));
  const TestApp development = makeTestApp(dir_.path() / "development");
  signApp(development, identityFile(release::kDevelopmentIdentity));
  const std::string ok;
  const std::string signature(markers::kInvalidSignature);
  const std::string requirement(markers::kSigningRequirementInvalid);
  struct Row {
    const char* name;
    fs::path path;
    std::optional<std::string> identifier;
    std::string team;
    std::string expected;
  };
  const Row rows[] = {
      {"application", app.appURL, kAppID, kTeam, ok},
      {"extension", app.extensionURL, kExtensionID, kTeam, ok},
      {"updater", app.updaterURL, kUpdaterID, kTeam, ok},
      {"no identifier asked", app.appURL, std::nullopt, kTeam, ok},
      {"identifier of another part", app.extensionURL, kAppID, kTeam, signature},
      {"empty identifier", app.appURL, "", kTeam, signature},
      {"another team", app.appURL, kAppID, release::otherTeamFor(kTeam), signature},
      {"development certificate", development.appURL, kAppID, kTeam, signature},
      {"quote in the team, real path", app.appURL, kAppID, "TEST\"TEAM", requirement},
      {"quote in the identifier, real path", app.appURL, "com.\"x", kTeam, requirement},
      {"quote in the team, unsigned path", dir_.path() / "good", kAppID, "T\"", signature},
      {"quote in the team, missing path", dir_.path() / "missing.app", kAppID, "T\"", signature},
      // With "and" as the only operator, text smuggled in through a value can only narrow.
      {"quote that parses adds a clause", app.appURL, std::nullopt,
       std::string(kTeam) + "\" and identifier \"" + kAppID, ok},
      {"quote that parses adds a failing clause", app.appURL, std::nullopt,
       std::string(kTeam) + "\" and identifier \"other", signature},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(outcome([&] { UpdateSecurity::verifyCode(row.path, row.identifier, row.team); }),
              row.expected)
        << row.name;
  }
  writeFile(app.updaterURL / "Contents/MacOS/BramlowUpdater", "#!changed\n");
  EXPECT_EQ(outcome([&] { UpdateSecurity::verifyCode(app.appURL, kAppID, kTeam); }), signature);
}

TEST_F(UpdateSecurityTest, VerifyCodeOnImages) {
  const fs::path image = dir_.path() / "release.dmg";
  writeFile(image, std::string(4096, 'd'));
  codesign::sign(image,
                 codesign::SigningIdentity::load(identityFile(release::kDeveloperIdIdentity)),
                 "release");
  EXPECT_EQ(outcome([&] { UpdateSecurity::verifyCode(image, std::nullopt, kTeam); }), "");
  EXPECT_EQ(outcome([&] { UpdateSecurity::verifyCode(image, std::nullopt, "OTHER"); }),
            markers::kInvalidSignature);
  fs::resize_file(image, fs::file_size(image) - 3);
  EXPECT_EQ(outcome([&] { UpdateSecurity::verifyCode(image, std::nullopt, kTeam); }),
            markers::kInvalidSignature);
}

// A running process whose executable is the main executable of a signed bundle: a copy of sleep.
class Peer {
 public:
  explicit Peer(const fs::path& executable) {
    const std::string path = executable.string();
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("60"), nullptr};
    char* envp[] = {nullptr};
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv, envp) != 0) pid_ = -1;
    pidfd_ = pid_ > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)) : -1;
  }
  ~Peer() { stop(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  platform::PeerIdentity identity() const { return {pid_, pidfd_}; }
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -pid_;  // keep the number, so a test can ask about a process that has ended
    }
    if (pidfd_ >= 0) ::close(pidfd_);
    pidfd_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
};

class MessageSenderTest : public UpdateSecurityTest {
 protected:
  TestApp runnableApp(const std::string& folder) {
    TestApp app = makeTestApp(dir_.path() / folder);
    const fs::path executable = app.extensionURL / "Contents/MacOS/Bramlow for Safari Extension";
    fs::copy_file("/bin/sleep", executable, fs::copy_options::overwrite_existing);
    fs::permissions(executable, fs::perms::owner_all);
    signApp(app, identityFile(release::kDeveloperIdIdentity));
    return app;
  }
  static fs::path executableOf(const TestApp& app) {
    return app.extensionURL / "Contents/MacOS/Bramlow for Safari Extension";
  }
  static std::string verify(const Peer& peer, const std::optional<std::string>& identifier,
                            const std::string& team) {
    return outcome([&] { UpdateSecurity::verifyMessageSender(peer.identity(), identifier, team); });
  }
};

TEST_F(MessageSenderTest, SignedPeerIsAuthenticated) {
  const TestApp app = runnableApp("app");
  Peer peer(executableOf(app));
  const std::string connection(markers::kConnectionNotAuthenticated);
  EXPECT_EQ(verify(peer, kExtensionID, kTeam), "");
  EXPECT_EQ(verify(peer, std::nullopt, kTeam), "");
  EXPECT_EQ(verify(peer, kUpdaterID, kTeam), connection);
  EXPECT_EQ(verify(peer, kExtensionID, "OTHERTEAM"), connection);
  EXPECT_EQ(verify(peer, kExtensionID, "TE\"AM"), markers::kSigningRequirementInvalid);
}

TEST_F(MessageSenderTest, ChangedOrVanishedPeerIsRefused) {
  const std::string connection(markers::kConnectionNotAuthenticated);
  {
    const TestApp app = runnableApp("info-changed");
    Peer peer(executableOf(app));
    writeFile(app.extensionURL / "Contents/Info.plist",
              readFile(app.appURL / "Contents/Info.plist"));
    EXPECT_EQ(verify(peer, kExtensionID, kTeam), connection);
  }
  {
    // The process still runs the old file, which is no longer what the bundle holds.
    const TestApp app = runnableApp("executable-replaced");
    Peer peer(executableOf(app));
    const fs::path replacement = app.extensionURL / "Contents/MacOS/new";
    fs::copy_file(executableOf(app), replacement);
    fs::rename(replacement, executableOf(app));
    EXPECT_EQ(verify(peer, kExtensionID, kTeam), connection);
  }
  {
    const TestApp app = runnableApp("unsigned-later");
    Peer peer(executableOf(app));
    fs::remove_all(app.extensionURL / "Contents/_CodeSignature");
    EXPECT_EQ(verify(peer, kExtensionID, kTeam), connection);
  }
  {
    const TestApp app = runnableApp("ended");
    Peer peer(executableOf(app));
    peer.stop();
    const platform::PeerIdentity gone{-peer.identity().pid, -1};
    EXPECT_EQ(outcome([&] { UpdateSecurity::verifyMessageSender(gone, kExtensionID, "T\""); }),
              connection)
        << "no code object comes before the broken requirement";
  }
  {
    // This test binary does not live in a bundle.
    const platform::PeerIdentity self{::getpid(), -1};
    EXPECT_EQ(outcome([&] { UpdateSecurity::verifyMessageSender(self, std::nullopt, kTeam); }),
              connection);
  }
}

}  // namespace
