#include <gtest/gtest.h>

#include "platform/Env.h"
#include "platform/Sha256.h"
#include "shared/UpdateFailure.h"
#include "tests/support/FailureText.h"
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
    EXPECT_EQ(failureText([&] { readInfoPlist(dir.path() / name); }),
              bramlow::markers::kVersionInformationInvalid)
        << name;
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

TEST(BundleFactsTest, ChunkedReadingAndItsFailures) {
  TempDir dir;
  const fs::path file = dir.path() / "f";
  const std::string content(3 * bramlow::kHashReadChunk, 'q');
  writeFile(file, content);
  const std::string digest = bramlow::hexString(platform::Sha256::digest(content));
  FaultyFiles files;
  platform::ScopedEnvForTesting scoped(files);
  // The error fileSHA256 ends with, or "none".
  auto errorOf = [&]() -> std::string {
    try {
      EXPECT_EQ(fileSHA256(file), digest);
      return "none";
    } catch (const std::system_error& error) {
      return error.what();
    }
  };
  const std::string readError = std::system_error(EIO, std::generic_category(), "read").what();

  // An exact multiple of the chunk is read to its end: three full chunks and the empty read.
  EXPECT_EQ(errorOf(), "none");
  EXPECT_EQ(files.reads, 4);
  EXPECT_EQ(files.maxRequest, bramlow::kHashReadChunk);
  EXPECT_EQ(files.closes, 1);

  // A failed read closes the input and passes through unchanged.
  files.failRead = files.reads + 2;
  EXPECT_EQ(errorOf(), readError);
  EXPECT_EQ(files.closes, 2);

  // A failed close is logged and changes nothing, also when a read error is on its way.
  files.failClose = true;
  EXPECT_EQ(errorOf(), "none");
  ASSERT_EQ(files.logged.size(), 1u);
  EXPECT_EQ(files.logged[0].rfind("Could not close the update hash input: ", 0), 0u);
  files.failRead = files.reads + 1;
  EXPECT_EQ(errorOf(), readError);
  EXPECT_EQ(files.logged.size(), 2u);
}

}  // namespace
