#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/env/Env.h"
#include "platform/env/UserFolder.h"
#include "tests/support/TestSupport.h"

namespace {
namespace fs = std::filesystem;
using testing_support::writeFile;

// The real environment, on files in a test folder.
class EnvTest : public ::testing::Test {
 protected:
  testing_support::TempDir dir_;
  platform::Env& env_ = platform::Env::Default();
};

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
  EXPECT_TRUE(::fcntl(env_.open(file, O_RDONLY).get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_THROW(env_.readRegularFile(file, 9), std::system_error);
  // None of these may block or be read.
  for (const fs::path& path :
       {dir_.path() / "fifo", fs::path("/dev/zero"), dir_.path() / "link", dir_.path()}) {
    EXPECT_THROW(env_.readRegularFile(path, 10), platform::NotRegularFileError) << path;
  }
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
      {"a folder others can enter at the name", "", kMissing, kOpen, ""},
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
