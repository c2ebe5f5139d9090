// A scriptable HTTPS server on 127.0.0.1 for tests and benchmarks, and the TLS identity it uses:
// a fresh test CA and a server certificate for 127.0.0.1 and localhost, made with OpenSSL.
//
// Each path gets a scripted reply (status, headers, body, framing, lies about the length, stalls);
// every request that arrives is logged with its headers, so a test can prove what was (not) sent.
#pragma once

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/release/Identities.h"

namespace httplib {
class SSLServer;
}

namespace testing_support {

// An EC P-256 CA and a server certificate signed by it, for the given subject alternative names.
struct TestTlsIdentity : bramlow::release::TlsIdentity {
  explicit TestTlsIdentity(const std::string& serverNames = "IP:127.0.0.1,DNS:localhost")
      : TlsIdentity(bramlow::release::makeTlsIdentity(serverNames)) {}

  // One identity made on first use and shared by the whole process.
  static const TestTlsIdentity& shared();

  // Writes the CA as the platform's TLS trust store, <root>/etc/ssl/certs/ca-certificates.crt,
  // replacing it, or adding the CA to the CAs already there.
  void installTrust(const std::filesystem::path& platformRoot, bool add = false) const;
};

class TestHttpsServer {
 public:
  // Every member has a default, so that a reply names only what it changes: Reply{.status = 401}.
  struct Reply {
    int status = 200;
    // Sent in order; a name may repeat (several Set-Cookie lines).
    std::vector<std::pair<std::string, std::string>> headers{};
    std::string body;
    // Instead of body: this many bytes of filler, made as they are sent.
    std::uint64_t generatedSize = 0;
    // Chunked transfer encoding: no length is announced.
    bool chunked = false;
    // A Content-Length other than the body's size. When it is larger, the connection is closed
    // after the body (the client sees fewer bytes than announced); when it is smaller, the whole
    // body is sent anyway.
    std::optional<std::uint64_t> announcedLength{};
    // Bytes per write, and a pause after each write (a slow server).
    std::size_t pieceSize = 65536;
    std::chrono::milliseconds pauseBetweenPieces{0};
    // A stall: before the status line, or after stallAfterBytes bytes of the body.
    std::chrono::milliseconds stall{0};
    bool stallBeforeHeaders = false;
    std::size_t stallAfterBytes = 0;
  };

  struct Request {
    std::string path;
    std::multimap<std::string, std::string> headers;  // names as sent
    bool hasHeader(const std::string& name) const {
      return std::ranges::any_of(
          headers, [&](auto& h) { return ::strcasecmp(h.first.c_str(), name.c_str()) == 0; });
    }
  };

  // Starts serving on 127.0.0.1 at a free port, with the given identity's server certificate.
  explicit TestHttpsServer(const TestTlsIdentity& identity = TestTlsIdentity::shared());
  // Ends every stall and pause at once, then stops and joins the server.
  ~TestHttpsServer();
  TestHttpsServer(const TestHttpsServer&) = delete;
  TestHttpsServer& operator=(const TestHttpsServer&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& path) const;  // path starts with "/"

  // Replies for a path (exact match, query included); unscripted paths answer 404.
  void setReply(const std::string& path, Reply reply);
  void setReply(const std::string& path, int status, std::string body);

  std::vector<Request> requests() const;
  std::size_t requestCount(const std::string& path) const;

 private:
  // Waits, unless the server stops first; false when it stopped.
  bool pause(std::chrono::milliseconds duration);

  std::unique_ptr<httplib::SSLServer> server_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable stopping_;
  bool stopped_ = false;
  std::map<std::string, Reply> replies_;
  std::vector<Request> requests_;
  std::thread thread_;
};

}  // namespace testing_support
