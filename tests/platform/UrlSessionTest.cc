#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "platform/UrlSession.h"
#include "tests/support/TestHttpsServer.h"
#include "tests/support/TestSupport.h"

namespace platform {
namespace {
namespace fs = std::filesystem;
using testing_support::TestHttpsServer;

// Records the calls it gets, and where the temporary file was. Progress, cancelling and the
// response are the transfer tests' (their size limit cancels; they hold the status to 200).
class RecordingDelegate : public UrlSessionDownloadDelegate {
 public:
  bool didWriteData(std::int64_t /*bytesWritten*/, std::int64_t /*totalBytesWritten*/,
                    std::int64_t /*totalBytesExpectedToWrite*/) override {
    calls.push_back("write");
    if (throwOnWrite) throw std::runtime_error("delegate failure");
    return true;
  }
  void didFinishDownloading(const HttpUrlResponse* /*response*/,
                            const fs::path& location) override {
    calls.push_back("finish");
    temporaryFile = location;
  }
  void didComplete(const URLError* error) override {
    calls.push_back(error ? "complete with error" : "complete");
    if (error) code = error->code();
  }

  bool throwOnWrite = false;
  std::vector<std::string> calls;
  fs::path temporaryFile;
  URLError::Code code = URLError::Code::kUnknown;
};

class UrlSessionTest : public testing_support::TestEnvTest {
 protected:
  void SetUp() override {
    testing_support::TestTlsIdentity::shared().installTrust(env_.platformRoot());
    fs::create_directories(folder_);
    TestHttpsServer::Reply reply;
    reply.body = std::string(300000, 'b');
    reply.pieceSize = 100000;
    server_.setReply("/file", reply);
  }

  void download(RecordingDelegate& delegate) {
    UrlSessionConfiguration configuration;
    configuration.temporaryDirectory = folder_;
    UrlSession(configuration).download(*Url::parse(server_.url("/file")), delegate);
  }

  TestHttpsServer server_;
  fs::path folder_ = dir_.path() / "downloads";
};

TEST_F(UrlSessionTest, TheBodyLiesBesideTheFolderAndNothingIsKept) {
  RecordingDelegate delegate;
  download(delegate);
  ASSERT_FALSE(delegate.calls.empty());
  EXPECT_EQ(delegate.calls.back(), "complete");
  EXPECT_EQ(delegate.temporaryFile.parent_path(), folder_);
  EXPECT_TRUE(fs::is_empty(folder_));

  RecordingDelegate throwing;
  throwing.throwOnWrite = true;
  EXPECT_THROW(download(throwing), std::runtime_error);
  EXPECT_EQ(throwing.calls, std::vector<std::string>{"write"});
  EXPECT_TRUE(fs::is_empty(folder_));

  // A folder that cannot hold the body fails before anything is asked of the server.
  const std::size_t requests = server_.requestCount("/file");
  RecordingDelegate unwritable;
  folder_ = dir_.path() / "missing";
  download(unwritable);
  EXPECT_EQ(unwritable.calls, std::vector<std::string>{"complete with error"});
  EXPECT_EQ(unwritable.code, URLError::Code::kCannotCreateFile);
  EXPECT_EQ(server_.requestCount("/file"), requests);
}

}  // namespace
}  // namespace platform
