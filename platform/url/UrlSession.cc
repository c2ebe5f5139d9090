#include "platform/url/UrlSession.h"

#include <curl/curl.h>
#include <fcntl.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/env/Env.h"
#include "platform/env/Uuid.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using UniqueCurl = std::unique_ptr<CURL, CurlEasyDeleter>;

// libcurl's global state must be set up once, before any handle, and never torn down while
// another thread may use it: set up on first use and kept for the life of the process.
void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// libcurl's download buffer. Larger than its default so a fast link needs fewer callbacks and
// writes; small enough not to matter for memory.
constexpr long kBufferSize = 256L * 1024;

// The body while it arrives: a new hidden file, deleted on every way out unless the delegate has
// moved it away.
class BodyFile {
 public:
  explicit BodyFile(const fs::path& folder)
      : path_(folder / (".transfer-" + newUuidString() + ".part")),
        fd_(env().open(path_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) {}
  BodyFile(const BodyFile&) = delete;
  BodyFile& operator=(const BodyFile&) = delete;
  ~BodyFile() {
    fd_.reset();
    remove();
  }

  const fs::path& path() const { return path_; }
  int fd() const { return fd_.get(); }
  // Closes the descriptor, reporting a failed close (data may not have reached the file).
  void close() { env().close(fd_.release()); }
  void remove() noexcept {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }

 private:
  fs::path path_;
  UniqueFd fd_;
};

enum class Stop { kNone, kCancelled, kIdle, kWriteFailed };

// What the libcurl callbacks share. No exception may cross into libcurl: each callback catches,
// records and asks libcurl to stop; download() acts on the record once curl_easy_perform returns.
struct Transfer {
  CURL* handle = nullptr;
  UrlSessionDownloadDelegate* delegate = nullptr;
  int fd = -1;
  std::int64_t written = 0;
  Clock::duration idleLimit{};
  Clock::time_point lastActivity;
  Stop stop = Stop::kNone;
  std::string writeError;
  std::exception_ptr delegateException;
};

std::size_t onHeader(char* /*data*/, std::size_t size, std::size_t count, void* user) noexcept {
  static_cast<Transfer*>(user)->lastActivity = Clock::now();
  return size * count;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) noexcept {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  transfer.lastActivity = Clock::now();
  if (transfer.stop != Stop::kNone) return CURL_WRITEFUNC_ERROR;
  try {
    env().writeAll(transfer.fd, data, length);
  } catch (const std::exception& error) {
    transfer.stop = Stop::kWriteFailed;
    transfer.writeError = error.what();
    return CURL_WRITEFUNC_ERROR;
  }
  transfer.written += static_cast<std::int64_t>(length);
  curl_off_t expected = -1;
  if (curl_easy_getinfo(transfer.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected) !=
      CURLE_OK) {
    expected = -1;
  }
  try {
    if (!transfer.delegate->didWriteData(static_cast<std::int64_t>(length), transfer.written,
                                         static_cast<std::int64_t>(expected))) {
      transfer.stop = Stop::kCancelled;
      return CURL_WRITEFUNC_ERROR;
    }
  } catch (...) {
    transfer.delegateException = std::current_exception();
    transfer.stop = Stop::kCancelled;
    return CURL_WRITEFUNC_ERROR;
  }
  return length;
}

// libcurl calls this at least once a second while the transfer runs, data or not. Its own
// low-speed limit is an average over a window, so a server that sends a burst and then stalls
// would outlast it; the gap since the last received byte is what ends an idle transfer.
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
  Transfer& transfer = *static_cast<Transfer*>(user);
  if (transfer.stop != Stop::kNone) return 1;
  if (Clock::now() - transfer.lastActivity > transfer.idleLimit) {
    transfer.stop = Stop::kIdle;
    return 1;
  }
  return 0;
}

URLError errorFor(CURLcode code, const char* detail) {
  using Code = URLError::Code;
  Code kind = Code::kUnknown;
  std::string text;
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      kind = Code::kTimedOut;
      text = "The request timed out.";
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
      kind = Code::kCannotFindHost;
      text = "The server's host name could not be resolved.";
      break;
    case CURLE_COULDNT_CONNECT:
      kind = Code::kCannotConnectToHost;
      text = "Could not connect to the server.";
      break;
    case CURLE_URL_MALFORMAT:
      kind = Code::kBadURL;
      text = "The address is malformed.";
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
      kind = Code::kUnsupportedURL;
      text = "The address's scheme is not supported.";
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
      kind = Code::kServerCertificateUntrusted;
      text = "The server's certificate is not trusted.";
      break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CLIENTCERT:
      kind = Code::kSecureConnectionFailed;
      text = "A secure connection to the server could not be made.";
      break;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      kind = Code::kNetworkConnectionLost;
      text = "The connection to the server was lost.";
      break;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_TOO_MANY_REDIRECTS:
      kind = Code::kBadServerResponse;
      text = "The server's answer could not be understood.";
      break;
    case CURLE_ABORTED_BY_CALLBACK:
      kind = Code::kCancelled;
      text = "The download was cancelled.";
      break;
    case CURLE_WRITE_ERROR:
      kind = Code::kCannotWriteToFile;
      text = "The download could not be written to its file.";
      break;
    default:
      text = "The download failed.";
      break;
  }
  const std::string why = detail && *detail ? detail : curl_easy_strerror(code);
  return URLError(kind, text + " (" + why + ")");
}

// Every option that makes the transfer what the header promises. Returns the first refusal.
CURLcode configure(CURL* handle, const std::string& url, const UrlSessionConfiguration& config,
                   Transfer& transfer, char* errorBuffer) {
  const fs::path root = env().platformRoot();
  const std::string caFile = (root / "etc/ssl/certs/ca-certificates.crt").string();
  const auto total = static_cast<long>(config.timeoutIntervalForResource.count());
  const auto idle = static_cast<long>(config.timeoutIntervalForRequest.count());

  CURLcode code = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(handle, option, value);
  };
  set(CURLOPT_ERRORBUFFER, errorBuffer);
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "https");
  set(CURLOPT_HTTPGET, 1L);
  set(CURLOPT_NOSIGNAL, 1L);
  // Redirects are answered, never followed.
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_MAXREDIRS, 0L);
  // Nothing offered from storage, nothing read from the environment. The cookie engine stays off
  // because no cookie file or jar is ever named.
  set(CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  set(CURLOPT_PROXY, "");
  // Each download gets its own connection and TLS session.
  set(CURLOPT_FORBID_REUSE, 1L);
  set(CURLOPT_FRESH_CONNECT, 1L);
  set(CURLOPT_SSL_SESSIONID_CACHE, 0L);
  // Trust: verification always on; the platform root's store when the root is not "/".
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  if (root != "/") {
    set(CURLOPT_CAINFO, caFile.c_str());
    set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  }
  set(CURLOPT_CONNECTTIMEOUT_MS, idle);
  set(CURLOPT_TIMEOUT_MS, total);
  set(CURLOPT_BUFFERSIZE, kBufferSize);
  set(CURLOPT_HEADERFUNCTION, &onHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
  set(CURLOPT_WRITEFUNCTION, &onBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, &onProgress);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
  return code;
}

fs::path defaultTemporaryDirectory() {
  const char* tmp = std::getenv("TMPDIR");  // NOLINT(concurrency-mt-unsafe)
  return fs::path(tmp && *tmp == '/' ? tmp : "/tmp");
}

}  // namespace

UrlSession::UrlSession(UrlSessionConfiguration configuration)
    : configuration_(std::move(configuration)) {
  if (configuration_.temporaryDirectory.empty()) {
    configuration_.temporaryDirectory = defaultTemporaryDirectory();
  }
}

void UrlSession::download(const Url& url, UrlSessionDownloadDelegate& delegate) {
  using Code = URLError::Code;
  initializeCurlOnce();

  std::optional<URLError> error;
  std::optional<BodyFile> body;
  try {
    body.emplace(configuration_.temporaryDirectory);
  } catch (const std::exception& failure) {
    error.emplace(Code::kCannotCreateFile,
                  std::string("The download's temporary file could not be created. (") +
                      failure.what() + ")");
  }

  UniqueCurl handle;
  Transfer transfer;
  char errorBuffer[CURL_ERROR_SIZE] = "";
  if (!error) {
    handle.reset(curl_easy_init());
    if (!handle) error.emplace(Code::kUnknown, "The download could not be set up.");
  }
  if (!error) {
    transfer.handle = handle.get();
    transfer.delegate = &delegate;
    transfer.fd = body->fd();
    transfer.idleLimit =
        std::chrono::duration_cast<Clock::duration>(configuration_.timeoutIntervalForRequest);
    const CURLcode refused =
        configure(handle.get(), url.absoluteString(), configuration_, transfer, errorBuffer);
    if (refused != CURLE_OK) {
      error.emplace(Code::kUnknown, std::string("The download could not be set up. (") +
                                        curl_easy_strerror(refused) + ")");
    }
  }

  if (!error) {
    transfer.lastActivity = Clock::now();
    const CURLcode result = curl_easy_perform(handle.get());
    if (transfer.delegateException) std::rethrow_exception(transfer.delegateException);
    switch (transfer.stop) {
      case Stop::kCancelled:
        error.emplace(Code::kCancelled, "The download was cancelled.");
        break;
      case Stop::kIdle:
        error.emplace(Code::kTimedOut,
                      "The request timed out. (no data received for " +
                          std::to_string(configuration_.timeoutIntervalForRequest.count()) +
                          " ms)");
        break;
      case Stop::kWriteFailed:
        error.emplace(Code::kCannotWriteToFile, "The download could not be written to its file. (" +
                                                    transfer.writeError + ")");
        break;
      case Stop::kNone:
        if (result != CURLE_OK) error.emplace(errorFor(result, errorBuffer));
        break;
    }
  }

  if (!error) {
    try {
      body->close();
    } catch (const std::exception& failure) {
      error.emplace(
          Code::kCannotWriteToFile,
          std::string("The download could not be written to its file. (") + failure.what() + ")");
    }
  }

  if (!error) {
    long status = 0;
    if (curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
    curl_off_t expected = -1;
    if (curl_easy_getinfo(handle.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected) !=
        CURLE_OK) {
      expected = -1;
    }
    const HttpUrlResponse response{url, status, static_cast<std::int64_t>(expected)};
    delegate.didFinishDownloading(status > 0 ? &response : nullptr, body->path());
  }

  // The temporary file goes before completion is reported, as it would with the platform's own.
  body.reset();
  handle.reset();
  delegate.didComplete(error ? &*error : nullptr);
}

}  // namespace platform
