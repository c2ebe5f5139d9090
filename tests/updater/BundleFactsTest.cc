// File digests, with a read failing through the platform seam.
#include <gtest/gtest.h>

#include "platform/Env.h"
#include "platform/Sha256.h"
#include "tests/updater/UpdaterTestSupport.h"
#include "updater/BundleFacts.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;
using bramlow::fileSHA256;

// Counts reads and closes, fails the Nth read on request.
class FaultyFiles : public platform::EnvWrapper {
 public:
  FaultyFiles() : EnvWrapper(platform::Env::Default()) {}
  std::size_t read(int fd, void* buffer, std::size_t size) override {
    if (++reads == failRead) throw std::system_error(EIO, std::generic_category(), "read");
    return EnvWrapper::read(fd, buffer, size);
  }
  void close(int fd) override {
    ++closes;
    EnvWrapper::close(fd);
  }

  int reads = 0;
  int failRead = -1;
  int closes = 0;
};

TEST(BundleFactsTest, DigestsInChunksAndClosesOnAFailedRead) {
  const TempDir dir;
  const fs::path file = dir.path() / "f";
  const std::string content(3 * bramlow::kHashReadChunk, 'q');
  writeFile(file, content);
  FaultyFiles files;
  const platform::ScopedEnvForTesting scoped(files);
  // An exact multiple of the chunk is read to its end: three full chunks and the empty read.
  EXPECT_EQ(fileSHA256(file), bramlow::hexString(platform::Sha256::digest(content)));
  EXPECT_EQ(files.reads, 4);
  files.failRead = files.reads + 2;
  EXPECT_EQ(outcomeOf([&] { fileSHA256(file); }), "system_error");
  EXPECT_EQ(files.closes, 2);
}

}  // namespace
