// UpdateTransfer against loopback HTTPS servers: status codes, size limits, timeouts, trust, and
// nothing stored or offered besides the request.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "platform/UrlSession.h"
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

Reply body(std::string text, bool chunked = false) {
  Reply reply;
  reply.body = std::move(text);
  reply.chunked = chunked;
  return reply;
}

class UpdateTransferTest : public ::testing::Test {
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
    std::set<std::string> names = namesIn(cache_);
    names.erase(destination_.filename());
    EXPECT_TRUE(names.empty());
    return outcome;
  }

  TempDir dir_;
  TestEnv env_{dir_.path()};
  platform::ScopedEnvForTesting scopedEnv_{env_};
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
  Reply announcedOver = body("0123456789");
  announcedOver.announcedLength = kLimit + 1;
  announcedOver.stall = 60s;
  announcedOver.stallAfterBytes = 10;
  // Silent for 20 s, then complete: only a transfer that notices the silence fails.
  Reply silent = body("sent late");
  silent.stallBeforeHeaders = true;
  silent.stall = 20s;
  // Slower in total than the wait for data, but never silent for that long.
  Reply steady = body(std::string(100, 'd'));
  steady.pieceSize = 20;
  steady.pauseBetweenPieces = 200ms;
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

TEST_F(UpdateTransferTest, NothingIsKeptOrOfferedFromStorageOrTheEnvironment) {
  // Credentials a client could offer on a challenge, and a proxy that does not exist.
  const std::string home = (dir_.path() / "home").string();
  writeFile(home + "/.netrc", "machine 127.0.0.1 login user password secret\n");
  const ScopedEnvironment variables({{"HOME", home},
                                     {"NETRC", home + "/.netrc"},
                                     {"https_proxy", "http://127.0.0.1:9"},
                                     {"HTTPS_PROXY", "http://127.0.0.1:9"},
                                     {"all_proxy", "http://127.0.0.1:9"}});
  Reply challenge = body("who are you");
  challenge.status = 401;
  challenge.headers = {{"WWW-Authenticate", "Basic realm=\"updates\""}};
  server_.setReply("/protected", challenge);
  EXPECT_EQ(download("/protected", 100), markers::kNotRequestedRelease);
  const std::vector<TestHttpsServer::Request> requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);  // not through the proxy, and asked once
  EXPECT_FALSE(requests[0].hasHeader("authorization"));
}

TEST_F(UpdateTransferTest, TheServerMustBeReachableAndTrustedThroughThePlatformsStore) {
  // Nothing listens on a port the server gave up.
  const std::string closed = std::make_unique<TestHttpsServer>()->url("/x");
  EXPECT_EQ(download(closed, 100), urlError(URLError::Code::kCannotConnectToHost));
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
