#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <tuple>

#include "platform/Env.h"
#include "platform/PropertyList.h"
#include "platform/UserFolder.h"
#include "tests/support/TestSupport.h"

namespace {
namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

// The real system with only the platform root moved into the test folder.
class EnvTest : public ::testing::Test, public platform::PosixEnv {
 protected:
  fs::path platformRoot() override { return dir_.path(); }

  testing_support::TempDir dir_;
  platform::Env& env_ = platform::Env::Default();
};

TEST_F(EnvTest, SystemLogUnderPlatformRootKeepsOneLinePerEntry) {
  log("second\nentry with a break");
  const std::string text = readFile(dir_.path() / "var/log/system.log");
  EXPECT_NE(text.find("second entry with a break\n"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST_F(EnvTest, SystemVersionComesFromThePlatformRoot) {
  using namespace platform::plist;
  const fs::path file = dir_.path() / "System/Library/CoreServices/SystemVersion.plist";
  const auto version = [this] {
    const auto v = systemVersion();
    return std::tuple(v.major, v.minor, v.patch);
  };
  EXPECT_EQ(version(), std::tuple(0L, 0L, 0L)) << "missing";
  writeFile(file, serialize(Dictionary{{"ProductVersion", "14.2.1"}}));
  EXPECT_EQ(version(), std::tuple(14L, 2L, 1L));
  writeFile(file, serialize(Dictionary{{"ProductVersion", "12.7"}}, Format::kBinary));
  EXPECT_EQ(version(), std::tuple(12L, 7L, 0L)) << "binary";
}

TEST_F(EnvTest, CreateDirectoriesAndAtomicWriteLeaveNothingHalfDone) {
  env_.createDirectories(dir_.path() / "a" / "b", 0700);
  EXPECT_EQ(fs::status(dir_.path() / "a").permissions(), fs::perms::owner_all) << "every level";
  const fs::path folder = dir_.path() / "a" / "b";
  env_.writeFileAtomically(folder / "release.json", "old");
  env_.writeFileAtomically(folder / "release.json", "new content");
  EXPECT_EQ(readFile(folder / "release.json"), "new content");
  // A rename that cannot happen (a folder in the way) keeps nothing behind.
  fs::create_directories(folder / "busy" / "inner");
  EXPECT_THROW(env_.writeFileAtomically(folder / "busy", "x"), std::system_error);
  EXPECT_EQ(env_.listDirectory(folder).size(), 2u);
}

TEST_F(EnvTest, RemoveItemRemovesALinkNotWhatItPointsTo) {
  writeFile(dir_.path() / "tree" / "a" / "file", "12345");
  fs::create_symlink("/", dir_.path() / "tree" / "link");
  EXPECT_TRUE(env_.status(dir_.path() / "tree" / "link").isSymlink);
  env_.removeItem(dir_.path() / "tree");
  EXPECT_FALSE(env_.status(dir_.path() / "tree").exists);
  EXPECT_TRUE(fs::exists("/etc"));
}

TEST_F(EnvTest, ReadRegularFileTakesNothingButABoundedRegularFile) {
  const fs::path file = dir_.path() / "file";
  writeFile(file, "0123456789");
  ASSERT_EQ(::mkfifo((dir_.path() / "fifo").c_str(), 0600), 0);
  fs::create_symlink(file, dir_.path() / "link");
  EXPECT_EQ(env_.readRegularFile(file, 10), "0123456789");
  EXPECT_THROW(env_.readRegularFile(file, 9), std::system_error);
  // None of these may block or be read.
  for (const fs::path& path :
       {dir_.path() / "fifo", fs::path("/dev/zero"), dir_.path() / "link", dir_.path()}) {
    EXPECT_THROW(env_.readRegularFile(path, 10), platform::NotRegularFileError) << path;
  }
}

TEST_F(EnvTest, FilesOpenCloseOnExecAndALockIsRefusedToASecondDescriptor) {
  auto first = env_.open(dir_.path() / "lock", O_RDWR | O_CREAT, 0600);
  auto second = env_.open(dir_.path() / "lock", O_RDWR | O_CREAT, 0600);
  EXPECT_TRUE(fcntl(first.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(env_.tryLockExclusive(first.get()));
  EXPECT_FALSE(env_.tryLockExclusive(second.get()));
  first.reset();
  EXPECT_TRUE(env_.tryLockExclusive(second.get()));
}

// The user's own folder comes from a place no other user can make first; a folder at its name that
// is not the user's alone is refused, not used.
TEST_F(EnvTest, TheUserFolderIsOneOnlyTheUserCanHaveMade) {
  enum Owner { kMissing, kPrivate, kOpen, kOtherUser, kLink };
  const struct {
    const char *name, *runtime;
    Owner perUser, atName;  // atName: what is already at <base>/name
    const char* chosen;     // the base used, or "" when refused
  } rows[] = {
      {"the runtime folder first", "/run", kPrivate, kMissing, "run"},
      {"a relative runtime folder is ignored", "run", kPrivate, kMissing, "user"},
      {"a per-user folder others can enter", "", kOpen, kMissing, "caches"},
      {"a per-user folder of another user", "", kOtherUser, kMissing, "caches"},
      {"no per-user folder: the caches, made", "", kMissing, kMissing, "caches"},
      {"the folder of another user at the name", "", kMissing, kOtherUser, ""},
      {"a link to a private folder at the name", "", kMissing, kLink, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // Only root can make another user's folder.
    if ((row.perUser == kOtherUser || row.atName == kOtherUser) && ::geteuid() != 0) continue;
    const testing_support::TempDir dir;
    const fs::path run = dir.path() / "run";
    const platform::UserFolderBases bases{row.runtime[0] == '/' ? run.string() : row.runtime,
                                          dir.path() / "user", dir.path() / "caches"};
    const auto make = [&run](const fs::path& folder, Owner owner) {
      if (owner == kLink) fs::create_directory_symlink(run, folder);
      if (owner == kLink || owner == kMissing) return;
      fs::create_directories(folder);
      fs::permissions(folder, owner == kOpen ? fs::perms(0755) : fs::perms::owner_all);
      if (owner == kOtherUser) {
        ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
      }
    };
    make(run, kPrivate);
    make(bases.perUser, row.perUser);
    const fs::path base = row.chosen[0] ? dir.path() / row.chosen : bases.caches;
    fs::create_directories(base);
    make(base / "name", row.atName);
    if (!row.chosen[0]) {
      EXPECT_ANY_THROW(platform::openUserFolder("name", bases));
      continue;
    }
    if (base == bases.caches) fs::remove(base);  // made when missing
    const platform::UserFolder folder = platform::openUserFolder("name", bases);
    EXPECT_EQ(folder.path, base / "name");
    EXPECT_EQ(fs::status(folder.path).permissions(), fs::perms::owner_all);
  }
}

}  // namespace
