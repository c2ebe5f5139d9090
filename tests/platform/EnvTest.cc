#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <thread>
#include <tuple>

#include "platform/Env.h"
#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"

namespace {
namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

// Env::Default() with only the platform root moved into a test folder.
class RootedEnv : public platform::EnvWrapper {
 public:
  explicit RootedEnv(fs::path root)
      : EnvWrapper(platform::Env::Default()), root_(std::move(root)) {}
  fs::path platformRoot() override { return root_; }
  // The base class's own implementations read files through this object.
  platform::OperatingSystemVersion systemVersion() override { return Env::systemVersion(); }
  void log(std::string_view line) override { Env::log(line); }

 private:
  fs::path root_;
};

TEST(EnvTest, SystemLogUnderPlatformRootKeepsOneLinePerEntry) {
  TempDir dir;
  RootedEnv env(dir.path());
  env.log("first entry");
  env.log("second\nentry with a break");
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&env] {
      for (int j = 0; j < 50; ++j) env.log(std::string(200, 'x'));
    });
  }
  for (auto& writer : writers) writer.join();

  std::istringstream log(readFile(dir.path() / "var/log/system.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 202u);
  EXPECT_NE(lines[0].find("first entry"), std::string::npos);
  EXPECT_NE(lines[1].find("second entry with a break"), std::string::npos);
  for (std::size_t i = 2; i < lines.size(); ++i) {
    ASSERT_NE(lines[i].find(std::string(200, 'x')), std::string::npos) << "torn line " << i;
  }
}

TEST(EnvTest, SystemVersionComesFromThePlatformRoot) {
  TempDir dir;
  RootedEnv env(dir.path());
  const fs::path file = dir.path() / "System/Library/CoreServices/SystemVersion.plist";

  auto plist = [](platform::plist::Value version,
                  platform::plist::Format format = platform::plist::Format::kXml) {
    return platform::plist::serialize(platform::plist::Dictionary{{"ProductVersion", version}},
                                      format);
  };
  const struct {
    const char* name;
    std::string content;  // empty: no file
    long major, minor, patch;
  } cases[] = {
      {"missing", "", 0, 0, 0},
      {"three parts", plist("14.2.1"), 14, 2, 1},
      {"one part", plist("13"), 13, 0, 0},
      {"binary", plist("12.7", platform::plist::Format::kBinary), 12, 7, 0},
      {"not a string", plist(14), 0, 0, 0},
      {"garbage", "not a property list", 0, 0, 0},
  };
  for (const auto& c : cases) {
    if (!c.content.empty()) writeFile(file, c.content);
    const auto version = env.systemVersion();
    EXPECT_EQ(std::tie(version.major, version.minor, version.patch),
              std::tie(c.major, c.minor, c.patch))
        << c.name;
  }
}

TEST(EnvTest, CreateDirectoriesMakesEveryMissingLevelWithTheMode) {
  TempDir dir;
  platform::Env& env = platform::Env::Default();
  const fs::path deep = dir.path() / "a" / "b" / "c";
  env.createDirectories(deep, 0700);
  for (const fs::path& p : {dir.path() / "a", dir.path() / "a" / "b", deep}) {
    EXPECT_EQ(fs::status(p).permissions(), fs::perms::owner_all) << p;
  }
  EXPECT_NO_THROW(env.createDirectories(deep, 0700));  // existing is fine
  writeFile(dir.path() / "file", "");
  EXPECT_THROW(env.createDirectories(dir.path() / "file" / "sub", 0700), std::system_error);
  EXPECT_THROW(env.createDirectories(dir.path() / "file", 0700), std::system_error);
}

TEST(EnvTest, AtomicWriteReplacesWholeAndLeavesNoTemporaryFile) {
  TempDir dir;
  platform::Env& env = platform::Env::Default();
  const fs::path target = dir.path() / "release.json";
  env.writeFileAtomically(target, "old");
  env.writeFileAtomically(target, "new content");
  EXPECT_EQ(readFile(target), "new content");
  EXPECT_EQ(env.listDirectory(dir.path()), std::vector<std::string>{"release.json"});

  // A rename that cannot happen (a folder in the way) keeps nothing behind.
  fs::create_directories(dir.path() / "busy" / "inner");
  EXPECT_THROW(env.writeFileAtomically(dir.path() / "busy", "x"), std::system_error);
  EXPECT_EQ(env.listDirectory(dir.path()).size(), 2u);
}

TEST(EnvTest, StatusRemoveAndListing) {
  TempDir dir;
  platform::Env& env = platform::Env::Default();
  EXPECT_FALSE(env.status(dir.path() / "missing").exists);
  EXPECT_FALSE(env.status(dir.path() / "missing" / "below").exists);
  writeFile(dir.path() / "tree" / "a" / "file", "12345");
  fs::create_symlink("/", dir.path() / "tree" / "link");
  const auto file = env.status(dir.path() / "tree" / "a" / "file");
  EXPECT_TRUE(file.isRegular);
  EXPECT_EQ(file.size, 5u);
  EXPECT_TRUE(env.status(dir.path() / "tree" / "link").isSymlink);
  env.removeItem(dir.path() / "tree");  // the link goes, not what it points to
  EXPECT_FALSE(env.status(dir.path() / "tree").exists);
  EXPECT_TRUE(fs::exists("/etc"));
  EXPECT_THROW(env.listDirectory(dir.path() / "tree"), std::system_error);
}

TEST(EnvTest, ReadRegularFileTakesNothingButABoundedRegularFile) {
  TempDir dir;
  platform::Env& env = platform::Env::Default();
  const fs::path file = dir.path() / "file";
  writeFile(file, "0123456789");
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  fs::create_symlink(file, dir.path() / "link");
  EXPECT_EQ(env.readRegularFile(file, 10), "0123456789");
  EXPECT_THROW(env.readRegularFile(file, 9), std::system_error);
  // None of these may block or be read.
  for (const fs::path& path : {dir.path() / "fifo", fs::path("/dev/zero"), dir.path() / "link"}) {
    EXPECT_THROW(env.readRegularFile(path, 10), std::system_error) << path;
  }
}

TEST(EnvTest, FilesOpenCloseOnExecAndALockIsRefusedToASecondDescriptor) {
  TempDir dir;
  platform::Env& env = platform::Env::Default();
  auto first = env.open(dir.path() / "lock", O_RDWR | O_CREAT, 0600);
  auto second = env.open(dir.path() / "lock", O_RDWR | O_CREAT, 0600);
  EXPECT_TRUE(fcntl(first.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(env.tryLockExclusive(first.get()));
  EXPECT_FALSE(env.tryLockExclusive(second.get()));
  first.reset();
  EXPECT_TRUE(env.tryLockExclusive(second.get()));
}

}  // namespace
