#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
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

// How a download ended, in a form a table row can state.
struct Outcome {
  enum class Kind { kSuccess, kUpdateFailure, kURLError, kSystemError, kOther } kind;
  std::string message;
  URLError::Code code = URLError::Code::kUnknown;
};

Outcome success() { return {Outcome::Kind::kSuccess, ""}; }
Outcome failure(std::string_view marker) {
  return {Outcome::Kind::kUpdateFailure, std::string(marker)};
}
Outcome urlError(URLError::Code code) { return {Outcome::Kind::kURLError, "", code}; }

void PrintTo(const Outcome& outcome, std::ostream* out) {
  *out << "kind " << static_cast<int>(outcome.kind) << " code " << static_cast<int>(outcome.code)
       << " " << outcome.message;
}

bool operator==(const Outcome& a, const Outcome& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == Outcome::Kind::kUpdateFailure) return a.message == b.message;
  if (a.kind == Outcome::Kind::kURLError) return a.code == b.code;
  return true;
}

Reply body(std::string text) {
  Reply reply;
  reply.body = std::move(text);
  return reply;
}

class UpdateTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::TestTlsIdentity::shared().installTrust(env_.platformRoot());
    fs::create_directories(cache_);
  }

  Outcome download(const std::string& path, std::int64_t limit) {
    UpdateTransfer transfer;
    try {
      transfer.download(*platform::Url::parse(server_.url(path)), destination_, limit);
      return success();
    } catch (const UpdateFailure& error) {
      return failure(error.text());
    } catch (const URLError& error) {
      return {Outcome::Kind::kURLError, error.what(), error.code()};
    } catch (const std::system_error& error) {
      return {Outcome::Kind::kSystemError, error.what()};
    } catch (const std::exception& error) {
      return {Outcome::Kind::kOther, error.what()};
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
  struct Row {
    const char* name;
    int status;
    std::vector<std::pair<std::string, std::string>> headers;
  };
  const std::string target = "/elsewhere/latest.json";
  server_.setReply(target, 200, "the target must never be asked for");
  const std::vector<Row> rows = {
      {"moved permanently", 301, {{"Location", server_.url(target)}}},
      {"found", 302, {{"Location", server_.url(target)}}},
      {"see other", 303, {{"Location", server_.url(target)}}},
      {"temporary redirect", 307, {{"Location", server_.url(target)}}},
      {"permanent redirect", 308, {{"Location", server_.url(target)}}},
      {"relative redirect", 302, {{"Location", target}}},
      {"not found", 404, {}},
      {"server error", 500, {}},
      {"no content", 204, {}},
      {"partial content", 206, {}},
      {"authentication challenge", 401, {{"WWW-Authenticate", "Basic realm=\"updates\""}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Reply reply = body("body of a refused answer");
    reply.status = row.status;
    reply.headers = row.headers;
    server_.setReply("/latest.json", reply);
    EXPECT_EQ(download("/latest.json", 65536), failure(markers::kNotRequestedRelease));
    EXPECT_FALSE(fs::exists(destination_));
    EXPECT_EQ(strayFiles(), std::vector<std::string>{});
  }
  EXPECT_EQ(server_.requestCount(target), 0u);
  EXPECT_EQ(server_.requestCount("/latest.json"), rows.size());
}

TEST_F(UpdateTransferTest, SizeIsHeldToTheLimitWhileArrivingAndWhenFinished) {
  constexpr std::int64_t kLimit = 100000;
  const std::string exact(kLimit, 'x');
  const std::string over(kLimit + 1, 'x');
  Reply chunkedExact = body(exact);
  chunkedExact.chunked = true;
  Reply chunkedOver = body(over);
  chunkedOver.chunked = true;
  Reply chunkedEmpty = body("");
  chunkedEmpty.chunked = true;
  // Announces more than the limit, sends a little, then would wait a minute: only a transfer
  // that stops at the announcement finishes quickly and with the size failure.
  Reply announcedOver = body("0123456789");
  announcedOver.announcedLength = kLimit + 1;
  announcedOver.stall = 60s;
  announcedOver.stallAfterBytes = 10;
  Reply bigAnnouncedOver = body(std::string(4 * kLimit, 'y'));
  bigAnnouncedOver.stall = 60s;
  bigAnnouncedOver.stallAfterBytes = 65536;

  struct Row {
    const char* name;
    Reply reply;
    Outcome expected;
  };
  const std::vector<Row> rows = {
      {"exactly the limit", body(exact), success()},
      {"one byte over the limit", body(over), failure(markers::kExceedsExpectedSize)},
      {"chunked, exactly the limit", chunkedExact, success()},
      {"chunked, one byte over", chunkedOver, failure(markers::kExceedsExpectedSize)},
      {"announced over the limit, short body", announcedOver,
       failure(markers::kExceedsExpectedSize)},
      {"announced over the limit, long body", bigAnnouncedOver,
       failure(markers::kExceedsExpectedSize)},
      {"empty", body(""), failure(markers::kInvalidSize)},
      {"chunked, empty", chunkedEmpty, failure(markers::kInvalidSize)},
      {"one byte", body("1"), success()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    server_.setReply("/image.dmg", row.reply);
    EXPECT_EQ(download("/image.dmg", kLimit), row.expected);
    if (row.expected.kind == Outcome::Kind::kSuccess) {
      EXPECT_EQ(testing_support::readFile(destination_), row.reply.body);
      fs::remove(destination_);
    } else {
      EXPECT_FALSE(fs::exists(destination_));
    }
    EXPECT_EQ(strayFiles(), std::vector<std::string>{});
  }
}

TEST_F(UpdateTransferTest, TransportFailuresAreTheUrlLoadingSystemsErrors) {
  // The stalls end after 20 s and the body then completes, so a transfer that does not notice
  // the silence itself ends in success, not in a timeout.
  Reply silent = body("sent late");
  silent.stallBeforeHeaders = true;
  silent.stall = 20s;
  Reply stallsMidway = body(std::string(1000, 's'));
  stallsMidway.stallAfterBytes = 500;
  stallsMidway.pieceSize = 100;
  stallsMidway.stall = 20s;
  // Bytes keep coming, so the wait for data never runs out, but the whole takes far too long.
  Reply trickle = body(std::string(1000, 't'));
  trickle.pieceSize = 10;
  trickle.pauseBetweenPieces = 100ms;
  // Slower in total than the wait for data, but never silent for that long.
  Reply steady = body(std::string(100, 'd'));
  steady.pieceSize = 20;
  steady.pauseBetweenPieces = 200ms;
  Reply cutShort = body("0123456789");
  cutShort.announcedLength = 500;

  struct Row {
    const char* name;
    Reply reply;
    std::chrono::milliseconds request;
    std::chrono::milliseconds resource;
    Outcome expected;
  };
  const std::vector<Row> rows = {
      {"no answer at all", silent, 300ms, 60s, urlError(URLError::Code::kTimedOut)},
      {"stalls after part of the body", stallsMidway, 300ms, 60s,
       urlError(URLError::Code::kTimedOut)},
      {"whole transfer too long", trickle, 5s, 1500ms, urlError(URLError::Code::kTimedOut)},
      {"slow but steady", steady, 800ms, 60s, success()},
      {"connection closed before the announced length", cutShort, 60s, 60s,
       urlError(URLError::Code::kNetworkConnectionLost)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const UpdateTransfer::ScopedTimeoutsForTesting timeouts(row.request, row.resource);
    server_.setReply("/image.dmg", row.reply);
    EXPECT_EQ(download("/image.dmg", 65536), row.expected);
    EXPECT_EQ(fs::exists(destination_), row.expected.kind == Outcome::Kind::kSuccess);
    fs::remove(destination_);
    EXPECT_EQ(strayFiles(), std::vector<std::string>{});
  }
}

TEST_F(UpdateTransferTest, NothingIsKeptOrOfferedFromStorageOrTheEnvironment) {
  // Credentials a client could offer on a challenge, and a proxy that does not exist.
  testing_support::writeFile(dir_.path() / "home" / ".netrc",
                             "machine 127.0.0.1 login user password secret\n");
  struct SavedVariable {
    const char* name;
    std::optional<std::string> value;
  };
  std::vector<SavedVariable> saved;
  for (const char* name : {"HOME", "NETRC", "https_proxy", "HTTPS_PROXY", "all_proxy"}) {
    const char* value = ::getenv(name);  // NOLINT(concurrency-mt-unsafe)
    saved.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
  }
  const std::string home = (dir_.path() / "home").string();
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("NETRC", (home + "/.netrc").c_str(), 1);
  ::setenv("https_proxy", "http://127.0.0.1:9", 1);
  ::setenv("HTTPS_PROXY", "http://127.0.0.1:9", 1);
  ::setenv("all_proxy", "http://127.0.0.1:9", 1);

  Reply cookie = body("first");
  cookie.headers = {{"Set-Cookie", "session=abc; Path=/"},
                    {"Set-Cookie", "tracking=1; Path=/; Max-Age=3600"}};
  server_.setReply("/first", cookie);
  server_.setReply("/second", 200, "second");
  Reply challenge = body("who are you");
  challenge.status = 401;
  challenge.headers = {{"WWW-Authenticate", "Basic realm=\"updates\""}};
  server_.setReply("/protected", challenge);

  const Outcome first = download("/first", 100);
  fs::remove(destination_);
  const Outcome second = download("/second", 100);
  fs::remove(destination_);
  const Outcome challenged = download("/protected", 100);

  for (const SavedVariable& variable : saved) {
    if (variable.value) {
      ::setenv(variable.name, variable.value->c_str(), 1);
    } else {
      ::unsetenv(variable.name);
    }
  }

  EXPECT_EQ(first, success());
  EXPECT_EQ(second, success());
  EXPECT_EQ(challenged, failure(markers::kNotRequestedRelease));
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
  server_.setReply("/latest.json", 200, "{}");

  // A server whose certificate comes from a CA the platform does not trust.
  testing_support::TestTlsIdentity stranger;
  TestHttpsServer strangeServer(stranger);
  strangeServer.setReply("/latest.json", 200, "{}");
  UpdateTransfer transfer;
  try {
    transfer.download(*platform::Url::parse(strangeServer.url("/latest.json")), destination_, 100);
    ADD_FAILURE() << "an untrusted server was accepted";
  } catch (const URLError& error) {
    EXPECT_EQ(error.code(), URLError::Code::kServerCertificateUntrusted) << error.what();
  }
  EXPECT_EQ(strangeServer.requestCount("/latest.json"), 0u);

  // A trusted CA is not enough: the certificate must name the address's host.
  {
    testing_support::TestTlsIdentity otherName("DNS:updates.example.invalid");
    otherName.installTrust(env_.platformRoot(), /*add=*/true);
    TestHttpsServer misnamed(otherName);
    misnamed.setReply("/latest.json", 200, "{}");
    UpdateTransfer wrongName;
    try {
      wrongName.download(*platform::Url::parse(misnamed.url("/latest.json")), destination_, 100);
      ADD_FAILURE() << "a certificate for another name was accepted";
    } catch (const URLError& error) {
      EXPECT_EQ(error.code(), URLError::Code::kServerCertificateUntrusted) << error.what();
    }
    EXPECT_EQ(misnamed.requestCount("/latest.json"), 0u);
  }

  // Without the platform's trust store nothing is trusted, not even the test CA.
  fs::remove(env_.platformRoot() / "etc/ssl/certs/ca-certificates.crt");
  EXPECT_EQ(download("/latest.json", 100).kind, Outcome::Kind::kURLError);
  EXPECT_EQ(server_.requestCount("/latest.json"), 0u);
  EXPECT_EQ(strayFiles(), std::vector<std::string>{});
}

TEST_F(UpdateTransferTest, OtherTransportAndFileFailures) {
  // Nothing listens on a port the server gave up.
  int closedPort = 0;
  {
    TestHttpsServer gone;
    closedPort = gone.port();
  }
  {
    UpdateTransfer transfer;
    const std::string address = "https://127.0.0.1:" + std::to_string(closedPort) + "/x";
    try {
      transfer.download(*platform::Url::parse(address), destination_, 100);
      ADD_FAILURE() << "no server, yet success";
    } catch (const URLError& error) {
      EXPECT_EQ(error.code(), URLError::Code::kCannotConnectToHost) << error.what();
    }
  }

  // Plain HTTP is never spoken.
  {
    UpdateTransfer transfer;
    const std::string address = "http://127.0.0.1:" + std::to_string(server_.port()) + "/x";
    try {
      transfer.download(*platform::Url::parse(address), destination_, 100);
      ADD_FAILURE() << "plain HTTP accepted";
    } catch (const URLError& error) {
      EXPECT_EQ(error.code(), URLError::Code::kUnsupportedURL) << error.what();
    }
  }

  // A file the body cannot be moved onto: the file system's own error, unchanged.
  server_.setReply("/latest.json", 200, "{}");
  fs::create_directories(destination_ / "occupied");
  const Outcome blocked = download("/latest.json", 100);
  EXPECT_EQ(blocked.kind, Outcome::Kind::kSystemError) << blocked.message;
  fs::remove_all(destination_);
  EXPECT_EQ(strayFiles(), std::vector<std::string>{});
}

}  // namespace
}  // namespace bramlow
