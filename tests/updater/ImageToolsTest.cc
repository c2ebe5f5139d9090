// The hdiutil and ditto stand-ins on real images, mounts and folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "platform/diskimage/DiskImage.h"
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
    signApp(makeTestApp(dir_.path() / "source"));
    ASSERT_EQ(hdiutil({"create", "-srcfolder", dir_.path() / "source", image_}).exitCode, 0);
    fs::create_directory(mount_);
    fs::create_directory(held_);
  }
  void TearDown() override {
    // A test that failed half-way must not leave a mount behind.
    for (const std::string& folder : {mount_, held_})
      if (fs::exists(folder)) runProgram({"/usr/bin/fusermount3", "-u", folder});
  }
  static RunResult hdiutil(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), BRAMLOW_HDIUTIL);
    return runProgram(arguments);
  }

  std::string image_ = dir_.path() / "release.dmg";
  std::string mount_ = dir_.path() / "mount";
  std::string held_ = dir_.path() / "held";  // a mount made before the rows
};

// attach and detach take a shorter way to their tool when all is well; whatever that way turns
// down must still get main's answer, word for word, and mount nothing.
TEST_F(ImageToolsTest, TurnsDownWhatItAlwaysDid) {
  // A signature over less than the file system: the mount would reach unsigned bytes.
  const std::string shortened = image_ + ".short";
  fs::copy_file(image_, shortened);
  fs::resize_file(shortened, platform::diskimage::openImage(image_).superblock.bytesUsed - 1);
  signWith(shortened, release::kDeveloperIdIdentity, "release");
  signWith(image_, release::kDeveloperIdIdentity, "release");
  const std::string zeroed = image_ + ".zeroed";  // a trailer that claims no signature bytes
  writeFile(zeroed, readFile(image_) + std::string(8, '\0') + "CODESIGN");
  // A trailer whose signature would start inside the trailer itself.
  const std::string overlapping = image_ + ".overlapping";
  const std::uint64_t length = fs::file_size(image_) + 8;
  writeFile(overlapping,
            readFile(image_) + std::string(reinterpret_cast<const char*>(&length), 8) + "CODESIGN");
  const std::string usage = "usage: hdiutil attach";
  const std::string failed = "hdiutil: attach failed: ";
  const auto attach = [](const std::string& folder, const std::string& file) {
    return std::vector<std::string>{"attach", "-readonly", "-mountpoint", folder, file};
  };
  ASSERT_EQ(hdiutil(attach(held_, image_)).exitCode, 0);
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    int exitCode;
    std::string err;  // how stderr starts
  } rows[] = {
      {"not read-only", {"attach", "-mountpoint", mount_, image_}, 2, usage},
      {"two images", {"attach", "-readonly", "-mountpoint", mount_, image_, image_}, 2, usage},
      {"no folder after -mountpoint", {"attach", "-readonly", image_, "-mountpoint"}, 2, usage},
      {"empty folder name", attach("", image_), 2, usage},
      {"detach with an option", {"detach", "-f"}, 2, usage},
      {"no image", attach(mount_, image_ + ".none"), 1,
       failed + image_ + ".none: No such file or directory\n"},
      {"a file as folder", attach(image_, image_), 1, failed + image_ + ": not a folder\n"},
      // fuse would stack a second mount silently.
      {"a mount point", attach(held_, image_), 1, failed + held_ + ": already a mount point\n"},
      {"file system running into the signature", attach(mount_, shortened), 1,
       failed + "the file system runs beyond the signed content\n"},
      {"damaged trailer", attach(mount_, zeroed), 1, failed + "the signature trailer is damaged\n"},
      {"signature inside the trailer", attach(mount_, overlapping), 1,
       failed + "the signature trailer is damaged\n"},
  };
  for (const auto& row : rows) {
    const RunResult result = hdiutil(row.arguments);
    EXPECT_EQ(result.exitCode, row.exitCode) << row.name;
    EXPECT_EQ(result.err.substr(0, row.err.size()), row.err) << row.name;
  }
  EXPECT_TRUE(fs::is_empty(mount_));
  EXPECT_EQ(hdiutil({"detach", held_}).exitCode, 0);
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
  EXPECT_EQ(fs::status(copy / "Contents/MacOS/tool").permissions(), fs::perms{0751});
  EXPECT_EQ(fs::status(copy / "Contents/MacOS").permissions(), fs::perms{0555});
  // An existing destination is never overwritten, and a FIFO, whose read would wait, not copied.
  EXPECT_EQ(runProgram({BRAMLOW_DITTO, source, copy}).exitCode, 1);
  ::chmod(tool.parent_path().c_str(), 0755);
  ASSERT_EQ(::mkfifo((source / "Contents/MacOS/fifo").c_str(), 0600), 0);
  EXPECT_EQ(runProgram({BRAMLOW_DITTO, source, dir.path() / "fifo.app"}).exitCode, 1);
  EXPECT_FALSE(fs::exists(dir.path() / "fifo.app"));
}

}  // namespace
