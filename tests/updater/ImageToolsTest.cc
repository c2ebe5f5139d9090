// The hdiutil and ditto stand-ins on real images, mounts and folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "platform/DiskImage.h"
#include "tests/security/SigningTestSupport.h"

namespace {
namespace fs = std::filesystem;
namespace release = bramlow::release;
using namespace testing_support;

class ImageToolsTest : public SigningTest {
 protected:
  void SetUp() override {
    if (::access("/dev/fuse", R_OK | W_OK) != 0 || ::access("/usr/bin/squashfuse", X_OK) != 0) {
      GTEST_SKIP() << "no FUSE or squashfuse on this machine";
    }
    app_ = makeTestApp(dir_.path() / "source");
    signApp(app_);
    ASSERT_EQ(hdiutil({"create", "-srcfolder", dir_.path() / "source", image_}).exitCode, 0);
    fs::create_directory(mount_);
  }
  void TearDown() override {
    // A test that failed half-way must not leave a mount behind.
    if (fs::exists(mount_)) runProgram({"/usr/bin/fusermount3", "-u", mount_});
  }
  static RunResult hdiutil(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), BRAMLOW_HDIUTIL);
    return runProgram(arguments);
  }
  std::vector<std::string> attach(const fs::path& image) const {
    return {"attach", "-readonly", "-nobrowse", "-noautoopen", "-mountpoint", mount_, image};
  }

  TestApp app_;
  fs::path image_ = dir_.path() / "release.dmg";
  fs::path mount_ = dir_.path() / "mount";
};

// The whole update attaches and detaches through the command runner; here what it never meets.
TEST_F(ImageToolsTest, AttachRefusesAMountPoint) {
  signWith(image_, release::kDeveloperIdIdentity, "release");
  ASSERT_EQ(hdiutil(attach(image_)).exitCode, 0);
  // fuse would stack a second mount silently.
  const RunResult again = hdiutil(attach(image_));
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("already a mount point"), std::string::npos) << again.err;
  EXPECT_EQ(hdiutil({"detach", mount_}).exitCode, 0);
}

// A signature over less than the file system: the mount would reach unsigned bytes.
TEST_F(ImageToolsTest, RefusesAFileSystemRunningIntoTheSignature) {
  const std::uint64_t used = platform::diskimage::openImage(image_).superblock.bytesUsed;
  fs::resize_file(image_, used - 1);
  signWith(image_, release::kDeveloperIdIdentity, "release");
  const RunResult result = hdiutil(attach(image_));
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("beyond the signed content"), std::string::npos) << result.err;
  EXPECT_TRUE(fs::is_empty(mount_));
}

// attach and detach take a shorter way to their tool when all is well; whatever that way turns
// down must still get main's answer, word for word, and mount nothing.
TEST_F(ImageToolsTest, TurnsDownWhatItAlwaysDid) {
  const std::string image = image_.string();
  const std::string mount = mount_.string();
  const std::string damaged = image + ".damaged";  // a trailer that claims no signature bytes
  writeFile(damaged, readFile(image_) + std::string(8, '\0') + "CODESIGN");
  // A trailer whose signature would start inside the trailer itself.
  const std::string overlapping = image + ".overlapping";
  const std::uint64_t length = fs::file_size(image_) + 8;
  writeFile(overlapping,
            readFile(image_) + std::string(reinterpret_cast<const char*>(&length), 8) + "CODESIGN");
  const std::string usage = "usage: hdiutil attach";
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    int exitCode;
    std::string err;  // how stderr starts
  } rows[] = {
      {"not read-only", {"attach", "-mountpoint", mount, image}, 2, usage},
      {"two images", {"attach", "-readonly", "-mountpoint", mount, image, image}, 2, usage},
      {"no folder after -mountpoint", {"attach", "-readonly", image, "-mountpoint"}, 2, usage},
      {"empty folder name", {"attach", "-readonly", "-mountpoint", "", image}, 2, usage},
      {"detach with an option", {"detach", "-f"}, 2, usage},
      {"no image",
       {"attach", "-readonly", "-mountpoint", mount, image + ".none"},
       1,
       "hdiutil: attach failed: " + image + ".none: No such file or directory\n"},
      {"a file as folder",
       {"attach", "-readonly", "-mountpoint", image, image},
       1,
       "hdiutil: attach failed: " + image + ": not a folder\n"},
      {"damaged trailer",
       {"attach", "-readonly", "-mountpoint", mount, damaged},
       1,
       "hdiutil: attach failed: the signature trailer is damaged\n"},
      {"signature inside the trailer",
       {"attach", "-readonly", "-mountpoint", mount, overlapping},
       1,
       "hdiutil: attach failed: the signature trailer is damaged\n"},
  };
  for (const auto& row : rows) {
    const RunResult result = hdiutil(row.arguments);
    EXPECT_EQ(result.exitCode, row.exitCode) << row.name;
    EXPECT_EQ(result.err.substr(0, row.err.size()), row.err) << row.name;
  }
  EXPECT_TRUE(fs::is_empty(mount_));
}

TEST(DittoTest, KeepsLinksAndModesAndRefusesSpecialFiles) {
  const TempDir dir;
  const fs::path source = dir.path() / "source.app";
  const fs::path tool = source / "Contents/MacOS/tool";
  writeFile(tool, std::string(3 << 20, 't'));
  fs::create_symlink("/nowhere/at/all", source / "Contents/dangling");
  ::chmod(tool.c_str(), 06751);  // set-user-ID and set-group-ID do not travel
  ::chmod(tool.parent_path().c_str(), 0555);

  const fs::path copy = dir.path() / "copy.app";
  ASSERT_EQ(runProgram({BRAMLOW_DITTO, source, copy}).exitCode, 0);
  EXPECT_EQ(readFile(copy / "Contents/MacOS/tool"), readFile(tool));
  EXPECT_EQ(fs::read_symlink(copy / "Contents/dangling"), "/nowhere/at/all");
  for (const auto& [path, mode] :
       {std::pair{"Contents/MacOS/tool", 0751}, {"Contents/MacOS", 0555}}) {
    struct stat copied {};
    ASSERT_EQ(::stat((copy / path).c_str(), &copied), 0);
    EXPECT_EQ(copied.st_mode & 07777, mode) << path;
  }
  // An existing destination is never overwritten, and a FIFO, whose read would wait, not copied.
  EXPECT_EQ(runProgram({BRAMLOW_DITTO, source, copy}).exitCode, 1);
  ::chmod(tool.parent_path().c_str(), 0755);
  ASSERT_EQ(::mkfifo((source / "Contents/MacOS/fifo").c_str(), 0600), 0);
  EXPECT_EQ(runProgram({BRAMLOW_DITTO, source, dir.path() / "fifo.app"}).exitCode, 1);
  EXPECT_FALSE(fs::exists(dir.path() / "fifo.app"));
}

}  // namespace
