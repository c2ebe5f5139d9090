// URL loading: one HTTPS GET at a time into a temporary file, in the manner of an ephemeral
// session with a download delegate. Nothing is kept between downloads or offered from storage: no
// cookies, no cache, no stored credentials (netrc), no proxy from the environment, and a redirect
// is never followed (the 3xx answer is the final response, and nothing is sent to its target).
// The server's certificate is verified against the platform's trust store: the platform root's
// etc/ssl/certs/ca-certificates.crt when the root is not "/", the system's otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/url/Url.h"

namespace platform {

// A failure of the URL loading system itself: transport, TLS, timeouts, cancellation, and the
// session's own temporary file. what() is its localized description.
class URLError : public std::runtime_error {
 public:
  enum class Code {
    kUnknown,
    kCancelled,
    kBadURL,
    kUnsupportedURL,
    kTimedOut,
    kCannotFindHost,
    kCannotConnectToHost,
    kNetworkConnectionLost,
    kSecureConnectionFailed,
    kServerCertificateUntrusted,
    kBadServerResponse,
    kCannotCreateFile,
    kCannotWriteToFile,
  };

  URLError(Code code, const std::string& description)
      : std::runtime_error(description), code_(code) {}
  Code code() const noexcept { return code_; }
  const char* localizedDescription() const noexcept { return what(); }

 private:
  Code code_;
};

struct HttpUrlResponse {
  // The address this response answers. Redirects are never followed, so it is always the address
  // that was requested, exactly as written.
  Url url;
  long statusCode = 0;
  // The announced Content-Length, or -1 when the response has none (chunked, or up to close).
  std::int64_t expectedContentLength = -1;
};

struct UrlSessionConfiguration {
  // Longest wait for more data, measured between any two received bytes and also bounding the
  // connection and TLS handshake.
  std::chrono::milliseconds timeoutIntervalForRequest{std::chrono::seconds(60)};
  // Longest time for the whole transfer.
  std::chrono::milliseconds timeoutIntervalForResource{std::chrono::seconds(600)};
  // Where the body is written while it arrives (a hidden file with a new name). Put it on the
  // volume of the body's final place so that moving it there is a rename. Empty: $TMPDIR or /tmp.
  std::filesystem::path temporaryDirectory;
};

// Called on the thread that called UrlSession::download, one call at a time, in this order:
// didWriteData any number of times, didFinishDownloading at most once, didComplete exactly once.
class UrlSessionDownloadDelegate {
 public:
  virtual ~UrlSessionDownloadDelegate() = default;

  // After each piece of the body reached the temporary file. totalBytesExpectedToWrite is the
  // announced length, or -1 when unknown. Returning false cancels the task: it then completes
  // with URLError kCancelled and without didFinishDownloading.
  virtual bool didWriteData(std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                            std::int64_t totalBytesExpectedToWrite) = 0;

  // The whole response has arrived, whatever its status. response is null when there was no HTTP
  // response. The file at location is deleted when this call returns: move it away to keep it.
  virtual void didFinishDownloading(const HttpUrlResponse* response,
                                    const std::filesystem::path& location) = 0;

  // The task has ended: error is null on success, else the reason it ended.
  virtual void didComplete(const URLError* error) = 0;
};

class UrlSession {
 public:
  explicit UrlSession(UrlSessionConfiguration configuration);

  // Runs one plain GET of url to its end on the calling thread, calling the delegate as above,
  // and returns after didComplete. Only https is spoken. Every failure of the transfer is reported
  // through didComplete; an exception thrown by the delegate ends the transfer at once, no further
  // delegate call is made, and it is rethrown here. Each call uses its own connection.
  void download(const Url& url, UrlSessionDownloadDelegate& delegate);

 private:
  UrlSessionConfiguration configuration_;
};

}  // namespace platform
