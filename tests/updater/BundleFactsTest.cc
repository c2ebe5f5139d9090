// File digests, with reads and closes failing through the platform seam.
#include <gtest/gtest.h>

#include "platform/Env.h"
#include "platform/Sha256.h"
#include "tests/updater/UpdaterTestSupport.h"
#include "updater/BundleFacts.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;
using bramlow::fileSHA256;

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

TEST(BundleFactsTest, DigestsInChunksAndTheirFailures) {
  const TempDir dir;
  writeFile(dir.path() / "abc", "abc");
  EXPECT_EQ(fileSHA256(dir.path() / "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_THROW(fileSHA256(dir.path()), std::system_error);  // a folder cannot be read
  const fs::path file = dir.path() / "f";
  const std::string content(3 * bramlow::kHashReadChunk, 'q');
  writeFile(file, content);
  const std::string digest = bramlow::hexString(platform::Sha256::digest(content));
  FaultyFiles files;
  const platform::ScopedEnvForTesting scoped(files);
  const auto errorOf = [&] { return outcomeOf([&] { EXPECT_EQ(fileSHA256(file), digest); }); };
  // An exact multiple of the chunk is read to its end: three full chunks and the empty read.
  EXPECT_EQ(errorOf(), "");
  EXPECT_EQ(files.reads, 4);
  EXPECT_EQ(files.maxRequest, bramlow::kHashReadChunk);
  // A failed read closes the input and passes through.
  files.failRead = files.reads + 2;
  EXPECT_EQ(errorOf(), "system_error");
  EXPECT_EQ(files.closes, 2);
  // A failed close is logged and changes nothing, also when a read error is on its way.
  files.failClose = true;
  EXPECT_EQ(errorOf(), "");
  files.failRead = files.reads + 1;
  EXPECT_EQ(errorOf(), "system_error");
  ASSERT_EQ(files.logged.size(), 2u);
  EXPECT_TRUE(files.logged[0].starts_with("Could not close the update hash input: "));
}

}  // namespace
