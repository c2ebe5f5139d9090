#include "tests/support/TestHttpsServer.h"

#include <httplib.h>
#include <openssl/pem.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "platform/crypto/OpenSsl.h"
#include "platform/env/Errors.h"
#include "tests/support/Wait.h"

namespace testing_support {
namespace fs = std::filesystem;
using platform::openssl::UniquePtr;
using Handled = httplib::Server::HandlerResponse;

namespace {

constexpr const char* kType = "application/octet-stream";

// A generated body is this block over and over: nothing reads its content, only its size.
const std::string kBlock(65536, 'x');

}  // namespace

const TestTlsIdentity& TestTlsIdentity::shared() {
  static const TestTlsIdentity* identity = new TestTlsIdentity();  // lives for the process
  return *identity;
}

void TestTlsIdentity::installTrust(const fs::path& platformRoot, bool add) const {
  const fs::path store = platformRoot / "etc/ssl/certs/ca-certificates.crt";
  fs::create_directories(store.parent_path());
  std::ofstream out(store, std::ios::binary | (add ? std::ios::app : std::ios::trunc));
  out << caCertificate;
  if (!out.flush()) throw std::runtime_error("cannot write " + store.string());
}

TestHttpsServer::TestHttpsServer(const TestTlsIdentity& identity) {
  const std::string& pem = identity.serverKeyAndCertificate;
  const UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  const UniquePtr<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  const UniquePtr<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!key || !certificate) {
    throw std::runtime_error("server identity: " + platform::drainOpenSslErrors());
  }
  // The server takes its own references to both.
  server_ = std::make_unique<httplib::SSLServer>(certificate.get(), key.get());
  httplib::SSLServer& server = *server_;
  if (!server.is_valid()) throw std::runtime_error("TLS server setup failed");
  // One request per connection: the client under test opens a connection per download, and a
  // server that waits for a next request would only slow down stopping.
  server.set_keep_alive_max_count(1);
  server.set_tcp_nodelay(true);

  server.set_pre_routing_handler([this](const httplib::Request& request,
                                        httplib::Response& response) {
    const auto reply = std::make_shared<Reply>(Reply{.status = 404, .body = "not found"});
    {
      std::lock_guard lock(mutex_);
      requests_.push_back({request.target, {request.headers.begin(), request.headers.end()}});
      if (const auto found = replies_.find(request.target); found != replies_.end())
        *reply = found->second;
    }
    if (reply->stallBeforeHeaders && !pause(reply->stall)) {
      response.status = 500;
      return Handled::Handled;
    }
    response.status = reply->status;
    for (const auto& [name, value] : reply->headers) response.headers.emplace(name, value);

    const std::uint64_t size = reply->generatedSize ? reply->generatedSize : reply->body.size();
    const std::uint64_t announced = reply->announcedLength.value_or(size);
    if (size == 0 && !reply->chunked && !reply->announcedLength) {
      response.set_content("", kType);
      return Handled::Handled;
    }
    const auto stalled = std::make_shared<bool>(false);
    // Sends the next piece from offset: its length, or 0 to end the response (and the connection).
    auto send = [this, reply, stalled, size](std::size_t offset, httplib::DataSink& sink) {
      if (reply->stall.count() > 0 && !reply->stallBeforeHeaders && !*stalled &&
          offset >= reply->stallAfterBytes) {
        *stalled = true;
        if (!pause(reply->stall)) return std::size_t{0};
      }
      if (offset >= size) return std::size_t{0};
      std::size_t length =
          std::min<std::uint64_t>(std::max<std::size_t>(reply->pieceSize, 1), size - offset);
      if (reply->generatedSize) length = std::min(length, kBlock.size());
      const char* data = reply->generatedSize ? kBlock.data() : reply->body.data() + offset;
      const bool sent = sink.write(data, length) && (reply->pauseBetweenPieces.count() == 0 ||
                                                     pause(reply->pauseBetweenPieces));
      return sent ? length : 0;
    };
    if (reply->chunked) {
      response.set_chunked_content_provider(
          kType, [send, size](std::size_t offset, httplib::DataSink& sink) {
            if (offset < size) return send(offset, sink) > 0;
            sink.done();
            return true;
          });
    } else {
      // Announced too small, the whole body goes out anyway, past the announcement, until it
      // ends or the client stops reading.
      response.set_content_provider(
          announced, kType,
          [send, lie = announced < size](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (!lie) return send(offset, sink) > 0;
            for (std::size_t sent = 1; sent > 0; offset += sent) sent = send(offset, sink);
            return false;
          });
    }
    return Handled::Handled;
  });

  port_ = server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("TLS server could not bind");
  thread_ = std::thread([&server] { server.listen_after_bind(); });
  // stop() only works once the accept loop runs.
  if (!waitUntil(std::chrono::seconds(20), [&server] { return server.is_running(); })) {
    throw std::runtime_error("TLS server did not start");
  }
}

TestHttpsServer::~TestHttpsServer() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  stopping_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string TestHttpsServer::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

void TestHttpsServer::setReply(const std::string& path, Reply reply) {
  std::lock_guard lock(mutex_);
  replies_[path] = std::move(reply);
}

void TestHttpsServer::setReply(const std::string& path, int status, std::string body) {
  setReply(path, Reply{.status = status, .body = std::move(body)});
}

std::vector<TestHttpsServer::Request> TestHttpsServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t TestHttpsServer::requestCount(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(requests_.begin(), requests_.end(), [&](auto& r) { return r.path == path; }));
}

bool TestHttpsServer::pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  return !stopping_.wait_for(lock, duration, [this] { return stopped_; });
}

}  // namespace testing_support
