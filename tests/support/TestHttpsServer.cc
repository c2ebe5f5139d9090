#include "tests/support/TestHttpsServer.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <random>
#include <stdexcept>

#include "platform/Errors.h"
#include "platform/OpenSsl.h"

namespace testing_support {
namespace fs = std::filesystem;
using platform::openssl::UniquePtr;

namespace {

[[noreturn]] void throwOpenSsl(const std::string& what) {
  throw std::runtime_error(what + ": " + platform::drainOpenSslErrors());
}

UniquePtr<EVP_PKEY> newP256Key() {
  UniquePtr<EVP_PKEY> key(EVP_EC_gen("P-256"));
  if (!key) throwOpenSsl("EC key generation");
  return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  UniquePtr<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) {
    throwOpenSsl("certificate extension");
  }
}

// A certificate for key, named commonName, signed by issuerKey (issuer null: self-signed): a CA
// when serverNames is empty, else a TLS server certificate for those subject alternative names.
UniquePtr<X509> newCertificate(EVP_PKEY* key, const char* commonName, X509* issuer,
                               EVP_PKEY* issuerKey, const std::string& serverNames) {
  const bool authority = serverNames.empty();
  UniquePtr<X509> certificate(X509_new());
  if (!certificate) throwOpenSsl("X509_new");
  std::array<unsigned char, 16> serial{};
  if (RAND_bytes(serial.data(), serial.size()) != 1) throwOpenSsl("RAND_bytes");
  serial[0] &= 0x7f;  // positive
  UniquePtr<BIGNUM> number(BN_bin2bn(serial.data(), serial.size(), nullptr));
  if (!number || X509_set_version(certificate.get(), 2) != 1 ||
      !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate.get())) ||
      !X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) ||
      !X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 24 * 3600) ||
      X509_set_pubkey(certificate.get(), key) != 1) {
    throwOpenSsl("certificate fields");
  }
  X509_NAME* subject = X509_get_subject_name(certificate.get());
  if (X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("Test"), -1, -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(certificate.get(), issuer ? X509_get_subject_name(issuer) : subject) !=
          1) {
    throwOpenSsl("certificate names");
  }
  X509* signer = issuer ? issuer : certificate.get();
  if (authority) {
    addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(certificate.get(), signer, NID_subject_key_identifier, "hash");
  } else {
    addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate.get(), signer, NID_key_usage, "critical,digitalSignature");
    addExtension(certificate.get(), signer, NID_ext_key_usage, "serverAuth");
    addExtension(certificate.get(), signer, NID_subject_alt_name, serverNames.c_str());
    addExtension(certificate.get(), signer, NID_subject_key_identifier, "hash");
    addExtension(certificate.get(), signer, NID_authority_key_identifier, "keyid:always");
  }
  if (X509_sign(certificate.get(), issuerKey, EVP_sha256()) <= 0) throwOpenSsl("X509_sign");
  return certificate;
}

std::string pemOf(X509* certificate) {
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) throwOpenSsl("PEM certificate");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
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
  UniquePtr<EVP_PKEY> caKey;
  UniquePtr<X509> ca;
  UniquePtr<EVP_PKEY> serverKey;
  UniquePtr<X509> server;
};

TestTlsIdentity::TestTlsIdentity(const std::string& serverNames)
    : objects_(std::make_unique<Objects>()) {
  objects_->caKey = newP256Key();
  objects_->ca = newCertificate(objects_->caKey.get(), "Test TLS CA", nullptr,
                                objects_->caKey.get(), /*serverNames=*/"");
  objects_->serverKey = newP256Key();
  objects_->server = newCertificate(objects_->serverKey.get(), "127.0.0.1", objects_->ca.get(),
                                    objects_->caKey.get(), serverNames);
  caPem_ = pemOf(objects_->ca.get());
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
    // Sends the next piece from offset; false ends the response (and closes the connection).
    auto send = [this, state, piece](std::size_t offset, std::size_t limit,
                                     httplib::DataSink& sink) -> bool {
      const Reply& r = state->reply;
      if (r.stall.count() > 0 && !r.stallBeforeHeaders && !state->stalled &&
          offset >= r.stallAfterBytes) {
        state->stalled = true;
        if (!pause(r.stall)) return false;
      }
      if (offset >= state->size) return false;
      std::size_t length = std::min<std::uint64_t>({piece, limit, state->size - offset});
      const std::size_t at = offset % pattern().size();
      if (r.generatedSize) length = std::min(length, pattern().size() - at);
      const char* data = r.generatedSize ? pattern().data() + at : r.body.data() + offset;
      return sink.write(data, length) &&
             (r.pauseBetweenPieces.count() == 0 || pause(r.pauseBetweenPieces));
    };
    if (state->reply.chunked) {
      response.set_chunked_content_provider(
          "application/octet-stream", [state, send](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= state->size) {
              sink.done();
              return true;
            }
            return send(offset, state->size - offset, sink);
          });
    } else {
      const std::uint64_t announced = state->reply.announcedLength.value_or(size);
      response.set_content_provider(announced, "application/octet-stream", send);
    }
    return httplib::Server::HandlerResponse::Handled;
  });

  port_ = server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("TLS server could not bind");
  thread_ = std::thread([&server] { server.listen_after_bind(); });
  // stop() only works once the accept loop runs.
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
