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

// Records the calls it gets, and what it saw of the temporary file.
class RecordingDelegate : public UrlSessionDownloadDelegate {
 public:
  bool didWriteData(std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                    std::int64_t totalBytesExpectedToWrite) override {
    calls.push_back("write");
    sum += bytesWritten;
    lastTotal = totalBytesWritten;
    expected = totalBytesExpectedToWrite;
    if (throwOnWrite) throw std::runtime_error("delegate failure");
    return !cancelOnWrite;
  }
  void didFinishDownloading(const HttpUrlResponse* response, const fs::path& location) override {
    calls.push_back("finish");
    status = response ? response->statusCode : -1;
    url = response ? response->url.absoluteString() : "";
    temporaryFile = location;
    content = testing_support::readFile(location);
  }
  void didComplete(const URLError* error) override {
    calls.push_back(error ? "complete with error" : "complete");
    if (error) code = error->code();
  }

  bool cancelOnWrite = false;
  bool throwOnWrite = false;
  std::vector<std::string> calls;
  std::int64_t sum = 0;
  std::int64_t lastTotal = 0;
  std::int64_t expected = 0;
  long status = 0;
  std::string url;
  fs::path temporaryFile;
  std::string content;
  URLError::Code code = URLError::Code::kUnknown;
};

class UrlSessionTest : public testing_support::TestEnvTest {
 protected:
  void SetUp() override {
    testing_support::TestTlsIdentity::shared().installTrust(env_.platformRoot());
    fs::create_directories(folder_);
  }

  void download(const std::string& path, RecordingDelegate& delegate) {
    UrlSessionConfiguration configuration;
    configuration.temporaryDirectory = folder_;
    UrlSession session(configuration);
    session.download(*Url::parse(server_.url(path)), delegate);
  }

  TestHttpsServer server_;
  fs::path folder_ = dir_.path() / "downloads";
};

TEST_F(UrlSessionTest, ReportsProgressThenTheFileThenCompletion) {
  TestHttpsServer::Reply reply;
  reply.body = std::string(300000, 'b');
  reply.pieceSize = 100000;
  server_.setReply("/file?x=1", reply);
  RecordingDelegate delegate;
  download("/file?x=1", delegate);

  ASSERT_GE(delegate.calls.size(), 3u);
  EXPECT_EQ(delegate.calls.back(), "complete");
  EXPECT_EQ(delegate.calls[delegate.calls.size() - 2], "finish");
  for (std::size_t i = 0; i + 2 < delegate.calls.size(); ++i) EXPECT_EQ(delegate.calls[i], "write");
  EXPECT_EQ(delegate.sum, 300000);
  EXPECT_EQ(delegate.lastTotal, 300000);
  EXPECT_EQ(delegate.expected, 300000);
  EXPECT_EQ(delegate.status, 200);
  EXPECT_EQ(delegate.url, server_.url("/file?x=1"));
  EXPECT_EQ(delegate.content, reply.body);
  // The body was written beside the destination folder's other files, and is gone afterwards.
  EXPECT_EQ(delegate.temporaryFile.parent_path(), folder_);
  EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(UrlSessionTest, CancellingOrThrowingDelegateEndsTheTransfer) {
  TestHttpsServer::Reply reply;
  reply.body = std::string(200000, 'c');
  reply.pieceSize = 50000;
  server_.setReply("/file", reply);

  RecordingDelegate cancelling;
  cancelling.cancelOnWrite = true;
  download("/file", cancelling);
  EXPECT_EQ(cancelling.calls, (std::vector<std::string>{"write", "complete with error"}));
  EXPECT_EQ(cancelling.code, URLError::Code::kCancelled);
  EXPECT_TRUE(fs::is_empty(folder_));

  RecordingDelegate throwing;
  throwing.throwOnWrite = true;
  EXPECT_THROW(download("/file", throwing), std::runtime_error);
  EXPECT_EQ(throwing.calls, std::vector<std::string>{"write"});
  EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(UrlSessionTest, AFolderThatCannotHoldTheBodyIsACompletionError) {
  server_.setReply("/file", 200, "x");
  RecordingDelegate delegate;
  folder_ = dir_.path() / "missing";
  download("/file", delegate);
  EXPECT_EQ(delegate.calls, std::vector<std::string>{"complete with error"});
  EXPECT_EQ(delegate.code, URLError::Code::kCannotCreateFile);
  EXPECT_EQ(server_.requestCount("/file"), 0u);
}

}  // namespace
}  // namespace platform
