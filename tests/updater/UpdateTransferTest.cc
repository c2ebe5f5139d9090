#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Env.h"
#include "platform/UrlSession.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestHttpsServer.h"
#include "tests/support/TestSupport.h"
#include "updater/UpdateTransfer.h"

namespace bramlow {
namespace {
namespace fs = std::filesystem;
using platform::URLError;
using testing_support::TestHttpsServer;
using Reply = TestHttpsServer::Reply;
using namespace std::chrono_literals;

// How a download ended, as a table row states it: "" for success, the marker of an UpdateFailure,
// or the kind of another error.
std::string urlError(URLError::Code code) {
  return "URLError " + std::to_string(static_cast<int>(code));
}

Reply body(std::string text, bool chunked = false) {
  Reply reply;
  reply.body = std::move(text);
  reply.chunked = chunked;
  return reply;
}

// Sets an environment variable for the object's life, then puts back what was there.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;  // NOLINT(concurrency-mt-unsafe)
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class UpdateTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::TestTlsIdentity::shared().installTrust(env_.platformRoot());
    fs::create_directories(cache_);
  }

  // A path on the test server, or a whole address.
  std::string download(const std::string& path, std::int64_t limit) {
    try {
      const std::string address = path.starts_with("/") ? server_.url(path) : path;
      UpdateTransfer().download(*platform::Url::parse(address), destination_, limit);
      return "";
    } catch (const UpdateFailure& error) {
      return error.text();
    } catch (const URLError& error) {
      return urlError(error.code());
    } catch (const std::system_error&) {
      return "system_error";
    }
  }

  // What the cache folder holds besides the destination: the transfer leaves nothing behind.
  std::vector<std::string> strayFiles() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(cache_)) {
      if (entry.path() != destination_) names.push_back(entry.path().filename().string());
    }
    return names;
  }

  testing_support::TempDir dir_;
  testing_support::TestEnv env_{dir_.path()};
  platform::ScopedEnvForTesting scopedEnv_{env_};
  TestHttpsServer server_;
  fs::path cache_ = dir_.path() / "cache";
  fs::path destination_ = cache_ / "download-0001.dmg";
};

TEST_F(UpdateTransferTest, OnlyADirect200IsAcceptedAndNoRedirectIsFollowed) {
  // A 401 with a challenge is one of the cases of the credentials test below.
  const std::string target = "/elsewhere/latest.json";
  server_.setReply(target, 200, "the target must never be asked for");
  const struct {
    const char* name;
    int status;
    std::string location;
  } rows[] = {
      {"moved permanently", 301, server_.url(target)},
      {"found", 302, server_.url(target)},
      {"see other", 303, server_.url(target)},
      {"temporary redirect", 307, server_.url(target)},
      {"permanent redirect", 308, server_.url(target)},
      {"relative redirect", 302, target},
      {"not found", 404, ""},
      {"server error", 500, ""},
      {"no content", 204, ""},
      {"partial content", 206, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Reply reply = body("body of a refused answer");
    reply.status = row.status;
    if (!row.location.empty()) reply.headers = {{"Location", row.location}};
    server_.setReply("/latest.json", reply);
    EXPECT_EQ(download("/latest.json", 65536), std::string(markers::kNotRequestedRelease));
    EXPECT_FALSE(fs::exists(destination_));
    EXPECT_EQ(strayFiles(), std::vector<std::string>{});
  }
  EXPECT_EQ(server_.requestCount(target), 0u);
  EXPECT_EQ(server_.requestCount("/latest.json"), std::size(rows));
}

TEST_F(UpdateTransferTest, SizeIsHeldToTheLimitWhileArrivingAndWhenFinished) {
  constexpr std::int64_t kLimit = 100000;
  const std::string exact(kLimit, 'x');
  const std::string over(kLimit + 1, 'x');
  // Announces more than the limit, sends a little, then would wait a minute: only a transfer
  // that stops at the announcement finishes quickly and with the size failure.
  Reply announcedOver = body("0123456789");
  announcedOver.announcedLength = kLimit + 1;
  announcedOver.stall = 60s;
  announcedOver.stallAfterBytes = 10;

  struct Row {
    const char* name;
    Reply reply;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"exactly the limit", body(exact), ""},
      {"one byte over the limit", body(over), std::string(markers::kExceedsExpectedSize)},
      {"chunked, exactly the limit", body(exact, true), ""},
      {"chunked, one byte over", body(over, true), std::string(markers::kExceedsExpectedSize)},
      {"announced over the limit, short body", announcedOver,
       std::string(markers::kExceedsExpectedSize)},
      {"empty", body(""), std::string(markers::kInvalidSize)},
      {"chunked, empty", body("", true), std::string(markers::kInvalidSize)},
      {"one byte", body("1"), ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    server_.setReply("/image.dmg", row.reply);
    EXPECT_EQ(download("/image.dmg", kLimit), row.expected);
    if (row.expected.empty()) {
      EXPECT_EQ(testing_support::readFile(destination_), row.reply.body);
      fs::remove(destination_);
    } else {
      EXPECT_FALSE(fs::exists(destination_));
    }
    EXPECT_EQ(strayFiles(), std::vector<std::string>{});
  }
}

TEST_F(UpdateTransferTest, TransportFailuresAreTheUrlLoadingSystemsErrors) {
  // The stall ends after 20 s and the body then completes, so a transfer that does not notice
  // the silence itself ends in success, not in a timeout. (Stalls, trickles and cut bodies of a
  // whole update are the hostile-server suite's.)
  Reply silent = body("sent late");
  silent.stallBeforeHeaders = true;
  silent.stall = 20s;
  // Slower in total than the wait for data, but never silent for that long.
  Reply steady = body(std::string(100, 'd'));
  steady.pieceSize = 20;
  steady.pauseBetweenPieces = 200ms;

  struct Row {
    const char* name;
    Reply reply;
    std::chrono::milliseconds request;
    std::chrono::milliseconds resource;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"no answer at all", silent, 300ms, 60s, urlError(URLError::Code::kTimedOut)},
      {"slow but steady", steady, 800ms, 60s, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const UpdateTransfer::ScopedTimeoutsForTesting timeouts(row.request, row.resource);
    server_.setReply("/image.dmg", row.reply);
    EXPECT_EQ(download("/image.dmg", 65536), row.expected);
    EXPECT_EQ(fs::exists(destination_), row.expected.empty());
    fs::remove(destination_);
    EXPECT_EQ(strayFiles(), std::vector<std::string>{});
  }
}

TEST_F(UpdateTransferTest, NothingIsKeptOrOfferedFromStorageOrTheEnvironment) {
  // Credentials a client could offer on a challenge, and a proxy that does not exist.
  const std::string home = (dir_.path() / "home").string();
  testing_support::writeFile(home + "/.netrc", "machine 127.0.0.1 login user password secret\n");
  const ScopedVariable variables[] = {{"HOME", home},
                                      {"NETRC", home + "/.netrc"},
                                      {"https_proxy", "http://127.0.0.1:9"},
                                      {"HTTPS_PROXY", "http://127.0.0.1:9"},
                                      {"all_proxy", "http://127.0.0.1:9"}};

  Reply cookie = body("first");
  cookie.headers = {{"Set-Cookie", "session=abc; Path=/"},
                    {"Set-Cookie", "tracking=1; Path=/; Max-Age=3600"}};
  server_.setReply("/first", cookie);
  server_.setReply("/second", 200, "second");
  Reply challenge = body("who are you");
  challenge.status = 401;
  challenge.headers = {{"WWW-Authenticate", "Basic realm=\"updates\""}};
  server_.setReply("/protected", challenge);

  EXPECT_EQ(download("/first", 100), "");
  fs::remove(destination_);
  EXPECT_EQ(download("/second", 100), "");
  fs::remove(destination_);
  EXPECT_EQ(download("/protected", 100), std::string(markers::kNotRequestedRelease));
  const std::vector<TestHttpsServer::Request> requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& request : requests) {
    SCOPED_TRACE(request.path);
    EXPECT_EQ(request.method, "GET");
    EXPECT_FALSE(request.hasHeader("cookie"));
    EXPECT_FALSE(request.hasHeader("authorization"));
  }
}

TEST_F(UpdateTransferTest, TheServerMustBeTrustedThroughThePlatformsStore) {
  const std::string untrusted = urlError(URLError::Code::kServerCertificateUntrusted);
  // A server whose certificate comes from a CA the platform does not trust.
  testing_support::TestTlsIdentity stranger;
  TestHttpsServer strangeServer(stranger);
  strangeServer.setReply("/latest.json", 200, "{}");
  EXPECT_EQ(download(strangeServer.url("/latest.json"), 100), untrusted);
  EXPECT_EQ(strangeServer.requestCount("/latest.json"), 0u);

  // A trusted CA is not enough: the certificate must name the address's host.
  testing_support::TestTlsIdentity otherName("DNS:updates.example.invalid");
  otherName.installTrust(env_.platformRoot(), /*add=*/true);
  TestHttpsServer misnamed(otherName);
  misnamed.setReply("/latest.json", 200, "{}");
  EXPECT_EQ(download(misnamed.url("/latest.json"), 100), untrusted);
  EXPECT_EQ(misnamed.requestCount("/latest.json"), 0u);

  // Without the platform's trust store nothing is trusted, not even the test CA.
  server_.setReply("/latest.json", 200, "{}");
  fs::remove(env_.platformRoot() / "etc/ssl/certs/ca-certificates.crt");
  EXPECT_TRUE(download("/latest.json", 100).starts_with("URLError"));
  EXPECT_EQ(server_.requestCount("/latest.json"), 0u);
  EXPECT_EQ(strayFiles(), std::vector<std::string>{});
}

TEST_F(UpdateTransferTest, OtherTransportAndFileFailures) {
  // Nothing listens on a port the server gave up.
  const std::string closed = std::make_unique<TestHttpsServer>()->url("/x");
  EXPECT_EQ(download(closed, 100), urlError(URLError::Code::kCannotConnectToHost));
  // Plain HTTP is never spoken.
  EXPECT_EQ(download("http://127.0.0.1:" + std::to_string(server_.port()) + "/x", 100),
            urlError(URLError::Code::kUnsupportedURL));

  // A file the body cannot be moved onto: the file system's own error, unchanged.
  server_.setReply("/latest.json", 200, "{}");
  fs::create_directories(destination_ / "occupied");
  EXPECT_EQ(download("/latest.json", 100), "system_error");
  fs::remove_all(destination_);
  EXPECT_EQ(strayFiles(), std::vector<std::string>{});
}

}  // namespace
}  // namespace bramlow
