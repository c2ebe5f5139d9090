// UpdateTransfer against loopback HTTPS servers: status codes, size limits, timeouts, trust, and
// nothing stored or offered besides the request.
#include <gtest/gtest.h>

#include <string>

#include "platform/url/UrlSession.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestHttpsServer.h"
#include "tests/updater/UpdaterTestSupport.h"
#include "updater/UpdateTransfer.h"

namespace bramlow {
namespace {
namespace fs = std::filesystem;
using platform::URLError;
using namespace testing_support;
using Reply = TestHttpsServer::Reply;
using namespace std::chrono_literals;

std::string urlError(URLError::Code code) {
  return "URLError " + std::to_string(static_cast<int>(code));
}

Reply body(std::string text) { return {.body = std::move(text)}; }

class UpdateTransferTest : public TestEnvTest {
 protected:
  void SetUp() override {
    TestTlsIdentity::shared().installTrust(env_.platformRoot());
    fs::create_directories(cache_);
  }

  // A path on the test server, or a whole address. The cache holds nothing else afterwards.
  std::string download(const std::string& path, std::int64_t limit) {
    const std::string address = path.starts_with("/") ? server_.url(path) : path;
    std::string outcome = outcomeOf(
        [&] { UpdateTransfer().download(*platform::Url::parse(address), destination_, limit); });
    EXPECT_EQ(namesIn(cache_).size(), fs::exists(destination_) ? 1u : 0u);
    return outcome;
  }

  // A proxy that does not exist: a transfer that takes it from the environment fails every test.
  const ScopedEnvironment proxy_{{{"https_proxy", "http://127.0.0.1:9"}}};
  TestHttpsServer server_;
  fs::path cache_ = dir_.path() / "cache";
  fs::path destination_ = cache_ / "download-0001.dmg";
};

// Size held to the limit while arriving and when finished; silence times out, slow steady data
// does not.
TEST_F(UpdateTransferTest, SizeAndTimeAreHeldToTheirLimits) {
  constexpr std::int64_t kLimit = 100000;
  const std::string oversize(markers::kExceedsExpectedSize);
  // Announces too much, then would wait a minute: only a transfer that stops at the announcement
  // finishes quickly.
  const Reply announcedOver{
      .body = "0123456789", .announcedLength = kLimit + 1, .stall = 60s, .stallAfterBytes = 10};
  // Silent for 20 s, then complete: only a transfer that notices the silence fails.
  const Reply silent{.body = "sent late", .stall = 20s, .stallBeforeHeaders = true};
  // Slower in total than the wait for data, but never silent for that long.
  const Reply steady{.body = std::string(100, 'd'), .pieceSize = 20, .pauseBetweenPieces = 200ms};
  const struct {
    const char* name;
    Reply reply;
    std::string expected;
    std::chrono::milliseconds request = 60s;
  } rows[] = {
      {"exactly the limit", body(std::string(kLimit, 'x')), ""},
      {"one byte over the limit", body(std::string(kLimit + 1, 'x')), oversize},
      {"announced over the limit, short body", announcedOver, oversize},
      {"empty", body(""), std::string(markers::kInvalidSize)},
      {"no answer at all", silent, urlError(URLError::Code::kTimedOut), 300ms},
      {"slow but steady", steady, "", 800ms},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const UpdateTransfer::ScopedTimeoutsForTesting timeouts(row.request, 60s);
    server_.setReply("/image.dmg", row.reply);
    EXPECT_EQ(download("/image.dmg", kLimit), row.expected);
    EXPECT_EQ(fs::exists(destination_) ? readFile(destination_) : "none",
              row.expected.empty() ? row.reply.body : "none");
    fs::remove(destination_);
  }
}

TEST_F(UpdateTransferTest, TheServerMustBeTrustedThroughThePlatformsStore) {
  // A CA the platform does not trust, and a trusted CA's certificate for another host name.
  TestTlsIdentity stranger;
  TestTlsIdentity otherName("DNS:updates.example.invalid");
  otherName.installTrust(env_.platformRoot(), /*add=*/true);
  for (const TestTlsIdentity* identity : {&stranger, &otherName}) {
    TestHttpsServer other(*identity);
    EXPECT_EQ(download(other.url("/latest.json"), 100),
              urlError(URLError::Code::kServerCertificateUntrusted));
    EXPECT_TRUE(other.requests().empty());
  }
  // Without the platform's trust store nothing is trusted, not even the test CA.
  fs::remove(env_.platformRoot() / "etc/ssl/certs/ca-certificates.crt");
  EXPECT_TRUE(download("/latest.json", 100).starts_with("URLError"));
  EXPECT_TRUE(server_.requests().empty());
}

}  // namespace
}  // namespace bramlow
