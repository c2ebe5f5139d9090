#include "tests/support/TestHttpsServer.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>
#include <stdexcept>

#include "platform/Errors.h"
#include "platform/OpenSsl.h"
#include "tests/support/Wait.h"
#include "tools/release/Identities.h"

namespace testing_support {
namespace fs = std::filesystem;
using platform::openssl::UniquePtr;

namespace {

[[noreturn]] void throwOpenSsl(const std::string& what) {
  throw std::runtime_error(what + ": " + platform::drainOpenSslErrors());
}

// The generated body: byte i of a body is kPattern[i % size], so any slice is cheap to send.
const std::string& pattern() {
  static const std::string bytes = [] {
    std::string text(65536, '\0');
    std::mt19937 random(20240611);
    for (char& c : text) c = static_cast<char>(random() & 0xff);
    return text;
  }();
  return bytes;
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

struct TestTlsIdentity::Objects {
  UniquePtr<EVP_PKEY> serverKey;
  UniquePtr<X509> server;
};

TestTlsIdentity::TestTlsIdentity(const std::string& serverNames)
    : objects_(std::make_unique<Objects>()) {
  const bramlow::release::TlsIdentity tls = bramlow::release::makeTlsIdentity(serverNames);
  const std::string& server = tls.serverKeyAndCertificate;
  UniquePtr<BIO> bio(BIO_new_mem_buf(server.data(), static_cast<int>(server.size())));
  if (!bio) throwOpenSsl("BIO_new_mem_buf");
  objects_->serverKey.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  objects_->server.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!objects_->serverKey || !objects_->server) throwOpenSsl("server identity");
  caPem_ = tls.caCertificate;
}

TestTlsIdentity::~TestTlsIdentity() = default;

const TestTlsIdentity& TestTlsIdentity::shared() {
  static const TestTlsIdentity* identity = new TestTlsIdentity();  // lives for the process
  return *identity;
}

void TestTlsIdentity::installTrust(const fs::path& platformRoot, bool add) const {
  const fs::path store = platformRoot / "etc/ssl/certs/ca-certificates.crt";
  fs::create_directories(store.parent_path());
  std::ofstream out(store, std::ios::binary | (add ? std::ios::app : std::ios::trunc));
  out << caPem_;
  if (!out.flush()) throw std::runtime_error("cannot write " + store.string());
}

class TestHttpsServer::Implementation {
 public:
  Implementation(X509* certificate, EVP_PKEY* key) : server(certificate, key) {}
  httplib::SSLServer server;
};

TestHttpsServer::TestHttpsServer(const TestTlsIdentity& identity)
    : implementation_(std::make_unique<Implementation>(identity.objects_->server.get(),
                                                       identity.objects_->serverKey.get())) {
  httplib::SSLServer& server = implementation_->server;
  if (!server.is_valid()) throw std::runtime_error("TLS server setup failed");
  // One request per connection: the client under test opens a connection per download, and a
  // server that waits for a next request would only slow down stopping.
  server.set_keep_alive_max_count(1);
  server.set_tcp_nodelay(true);

  server.set_pre_routing_handler([this](const httplib::Request& request,
                                        httplib::Response& response) {
    Reply reply;
    reply.status = 404;
    reply.body = "not found";
    {
      std::lock_guard lock(mutex_);
      Request logged{request.method, request.target, {}};
      for (const auto& [name, value] : request.headers) {
        logged.headers.emplace(lowerCase(name), value);
      }
      requests_.push_back(std::move(logged));
      const auto found = replies_.find(request.target);
      if (found != replies_.end()) reply = found->second;
    }

    if (reply.stallBeforeHeaders && !pause(reply.stall)) {
      response.status = 500;
      return httplib::Server::HandlerResponse::Handled;
    }
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) response.headers.emplace(name, value);

    const std::uint64_t size = reply.generatedSize ? reply.generatedSize : reply.body.size();
    const std::size_t piece = std::max<std::size_t>(reply.pieceSize, 1);
    if (size == 0 && !reply.chunked && !reply.announcedLength) {
      response.set_content("", "application/octet-stream");
      return httplib::Server::HandlerResponse::Handled;
    }
    struct State {
      Reply reply;
      std::uint64_t size;
      bool stalled = false;
    };
    auto state = std::make_shared<State>(State{std::move(reply), size});
    // Sends the next piece from offset: its length, or 0 to end the response (and the
    // connection).
    auto send = [this, state, piece](std::size_t offset, httplib::DataSink& sink) -> std::size_t {
      const Reply& r = state->reply;
      if (r.stall.count() > 0 && !r.stallBeforeHeaders && !state->stalled &&
          offset >= r.stallAfterBytes) {
        state->stalled = true;
        if (!pause(r.stall)) return 0;
      }
      if (offset >= state->size) return 0;
      std::size_t length = std::min<std::uint64_t>(piece, state->size - offset);
      const std::size_t at = offset % pattern().size();
      if (r.generatedSize) length = std::min(length, pattern().size() - at);
      const char* data = r.generatedSize ? pattern().data() + at : r.body.data() + offset;
      const bool sent = sink.write(data, length) &&
                        (r.pauseBetweenPieces.count() == 0 || pause(r.pauseBetweenPieces));
      return sent ? length : 0;
    };
    const std::uint64_t announced = state->reply.announcedLength.value_or(size);
    if (state->reply.chunked) {
      response.set_chunked_content_provider(
          "application/octet-stream", [state, send](std::size_t offset, httplib::DataSink& sink) {
            if (offset < state->size) return send(offset, sink) > 0;
            sink.done();
            return true;
          });
    } else if (announced < size) {
      // The lie that a length is small: the whole body goes out anyway, past the announcement,
      // until it ends or the client stops reading.
      response.set_content_provider(
          announced, "application/octet-stream",
          [send](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            for (std::size_t sent = 1; sent > 0; offset += sent) sent = send(offset, sink);
            return false;
          });
    } else {
      response.set_content_provider(
          announced, "application/octet-stream",
          [send](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            return send(offset, sink) > 0;
          });
    }
    return httplib::Server::HandlerResponse::Handled;
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
  implementation_->server.stop();
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
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  setReply(path, std::move(reply));
}

std::vector<TestHttpsServer::Request> TestHttpsServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t TestHttpsServer::requestCount(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                [&](const Request& r) { return r.path == path; }));
}

bool TestHttpsServer::pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  return !stopping_.wait_for(lock, duration, [this] { return stopped_; });
}

}  // namespace testing_support
