// serve DIR --tls TLS.pem [--port N]: a static HTTPS server for a release folder, on 127.0.0.1.
// It stands in for the web server or object store a publisher copies a release to, and keeps the
// rules the updater relies on: plain GET, an exact Content-Length, no redirects, nothing outside
// the folder.
#include <httplib.h>
#include <openssl/pem.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/crypto/OpenSsl.h"
#include "platform/env/Errors.h"
#include "tools/release/Commands.h"

namespace bramlow::release {
namespace {
namespace fs = std::filesystem;
using platform::openssl::UniquePtr;

struct TlsIdentity {
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> certificate;
};

// The key and the server certificate from one PEM file, in either order.
TlsIdentity loadTlsIdentity(const fs::path& pem) {
  TlsIdentity identity;
  for (const bool key : {true, false}) {
    UniquePtr<BIO> bio(BIO_new_file(pem.c_str(), "r"));
    if (!bio) throw std::runtime_error("cannot read " + pem.string());
    if (key) {
      identity.key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    } else {
      identity.certificate.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
  }
  if (!identity.key || !identity.certificate) {
    throw std::runtime_error(
        pem.string() + " holds no private key and certificate: " + platform::drainOpenSslErrors());
  }
  return identity;
}

int parsePort(const std::string& text) {
  std::size_t used = 0;
  int port = -1;
  try {
    port = std::stoi(text, &used);
  } catch (const std::exception&) {
  }
  if (used != text.size() || port < 0 || port > std::numeric_limits<std::uint16_t>::max()) {
    throw std::invalid_argument("not a port: " + text);
  }
  return port;
}

}  // namespace

int runServe(const std::vector<std::string>& arguments) {
  std::string folder;
  std::string tls;
  std::string portText = "0";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if ((option == "--tls" || option == "--port") && i + 1 < arguments.size()) {
      (option == "--tls" ? tls : portText) = arguments[++i];
    } else if (folder.empty() && !option.starts_with("--")) {
      folder = option;
    } else {
      std::cerr << "bramlow-release serve: unexpected argument " << option << "\n";
      return 2;
    }
  }
  if (folder.empty() || tls.empty()) {
    std::cerr << "usage: bramlow-release serve DIR --tls TLS.pem [--port N]\n";
    return 2;
  }
  try {
    const int port = parsePort(portText);
    if (!fs::is_directory(folder)) throw std::runtime_error("not a folder: " + folder);
    const TlsIdentity identity = loadTlsIdentity(tls);

    // SIGINT and SIGTERM end the server cleanly; they are taken by a thread of ours, so they must
    // be blocked before the server starts its own threads.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    httplib::SSLServer server(identity.certificate.get(), identity.key.get());
    if (!server.is_valid()) throw std::runtime_error("cannot set up TLS with " + tls);
    // Only the folder's files, by exact path; anything else is 404, never a redirect.
    if (!server.set_mount_point("/", fs::absolute(folder).string())) {
      throw std::runtime_error("cannot serve " + folder);
    }
    server.Post(
        ".*", [](const httplib::Request&, httplib::Response& response) { response.status = 405; });
    const int bound = port == 0 ? server.bind_to_any_port("127.0.0.1")
                                : (server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + portText);

    std::printf("https://127.0.0.1:%d/\n", bound);
    std::fflush(stdout);

    // The server runs on a thread of its own; this one waits for a stop signal, or for the server
    // to end by itself (its socket failed).
    std::atomic<bool> ended{false};
    bool served = false;
    std::thread serving([&server, &ended, &served] {
      served = server.listen_after_bind();
      ended = true;
    });
    const timespec tick{0, 200'000'000};
    while (!ended) {
      if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) {
        server.stop();
        break;
      }
    }
    serving.join();
    return served ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << "bramlow-release serve: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace bramlow::release
