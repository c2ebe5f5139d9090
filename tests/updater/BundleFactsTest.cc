#include <gtest/gtest.h>

#include "platform/Env.h"
#include "platform/Sha256.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"
#include "updater/BundleFacts.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;
using bramlow::fileSHA256;
using bramlow::readInfoPlist;
using platform::plist::Dictionary;

constexpr const char* kEmptyDigest =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(BundleFactsTest, ReadInfoPlistFormsAndFailures) {
  TempDir dir;
  const Dictionary info{{"CFBundleVersion", "7"}, {"Number", 5}};
  writeInfoPlist(dir.path() / "xml.app", info);
  writeInfoPlist(dir.path() / "bin.app", info, platform::plist::Format::kBinary);
  EXPECT_EQ(readInfoPlist(dir.path() / "xml.app"), info);
  EXPECT_EQ(readInfoPlist(dir.path() / "bin.app"), info);

  writeFile(dir.path() / "array.app/Contents/Info.plist",
            platform::plist::serialize(platform::plist::Array{"x"}));
  writeFile(dir.path() / "string.app/Contents/Info.plist",
            platform::plist::serialize(platform::plist::Value("x")));
  for (const char* name : {"array.app", "string.app"}) {
    try {
      readInfoPlist(dir.path() / name);
      ADD_FAILURE() << name;
    } catch (const bramlow::UpdateFailure& failure) {
      EXPECT_EQ(failure.text(), bramlow::markers::kVersionInformationInvalid) << name;
    }
  }
  // A missing file is the file system's error and a broken one the parser's, never the marker.
  EXPECT_THROW(readInfoPlist(dir.path() / "missing.app"), std::system_error);
  writeFile(dir.path() / "broken.app/Contents/Info.plist", "<plist><dict><key>");
  EXPECT_THROW(readInfoPlist(dir.path() / "broken.app"), platform::plist::PropertyListError);
}

TEST(BundleFactsTest, DigestsOfKnownContent) {
  TempDir dir;
  writeFile(dir.path() / "empty", "");
  writeFile(dir.path() / "abc", "abc");
  EXPECT_EQ(fileSHA256(dir.path() / "empty"), kEmptyDigest);
  EXPECT_EQ(fileSHA256(dir.path() / "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_THROW(fileSHA256(dir.path() / "missing"), std::system_error);
  EXPECT_THROW(fileSHA256(dir.path()), std::system_error);  // a folder cannot be read
}

// Counts reads, fails the Nth one or every close on request.
class FaultyFiles : public platform::EnvWrapper {
 public:
  FaultyFiles() : EnvWrapper(platform::Env::Default()) {}
  std::size_t read(int fd, void* buffer, std::size_t size) override {
    ++reads;
    maxRequest = std::max(maxRequest, size);
    if (reads == failRead) throw std::system_error(EIO, std::generic_category(), "read");
    return EnvWrapper::read(fd, buffer, size);
  }
  void close(int fd) override {
    ++closes;
    EnvWrapper::close(fd);
    if (failClose) throw std::system_error(EIO, std::generic_category(), "close");
  }
  void log(std::string_view line) override { logged.emplace_back(line); }

  int reads = 0;
  int failRead = -1;
  std::size_t maxRequest = 0;
  int closes = 0;
  bool failClose = false;
  std::vector<std::string> logged;
};

TEST(BundleFactsTest, ExactMultipleOfTheChunkIsReadToItsEnd) {
  TempDir dir;
  const std::string content(3 * bramlow::kHashReadChunk, 'q');
  writeFile(dir.path() / "f", content);
  FaultyFiles files;
  platform::ScopedEnvForTesting scoped(files);
  const auto digest = platform::Sha256::digest(content);
  EXPECT_EQ(fileSHA256(dir.path() / "f"), bramlow::hexString(digest));
  EXPECT_EQ(files.reads, 4);  // three full chunks and the empty read that ends the loop
  EXPECT_EQ(files.maxRequest, bramlow::kHashReadChunk);
  EXPECT_EQ(files.closes, 1);
}

TEST(BundleFactsTest, ReadFailureClosesTheInputAndPassesThrough) {
  TempDir dir;
  writeFile(dir.path() / "f", std::string(bramlow::kHashReadChunk + 1, 'q'));
  FaultyFiles files;
  files.failRead = 2;
  platform::ScopedEnvForTesting scoped(files);
  try {
    fileSHA256(dir.path() / "f");
    FAIL() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EIO);
  }
  EXPECT_EQ(files.closes, 1);
}

TEST(BundleFactsTest, FailedCloseIsLoggedAndChangesNothing) {
  TempDir dir;
  writeFile(dir.path() / "f", "");
  FaultyFiles files;
  files.failClose = true;
  platform::ScopedEnvForTesting scoped(files);
  EXPECT_EQ(fileSHA256(dir.path() / "f"), kEmptyDigest);
  ASSERT_EQ(files.logged.size(), 1u);
  EXPECT_EQ(files.logged[0].rfind("Could not close the update hash input: ", 0), 0u);

  // The read error, not the close error, is what the caller sees.
  files.logged.clear();
  files.failRead = files.reads + 1;
  EXPECT_THROW(fileSHA256(dir.path() / "f"), std::system_error);
  EXPECT_EQ(files.logged.size(), 1u);
}

TEST(BundleFactsTest, HexStringIsLowercaseTwoDigitsPerByte) {
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(bramlow::hexString(bytes), "000fa0ff");
  EXPECT_EQ(bramlow::hexString({}), "");
}

}  // namespace
