// The updater's only network client: fetches exactly one file over HTTPS into a file of the cache
// folder and blocks its caller until the transfer has ended. It accepts nothing but a direct
// answer with status 200 for exactly the address asked for, follows no redirect, and holds the
// download to a byte limit while the bytes arrive and once more on the finished file.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>

#include "platform/url/Url.h"
#include "platform/url/UrlSession.h"

namespace bramlow {

class UpdateTransfer final : private platform::UrlSessionDownloadDelegate {
 public:
  UpdateTransfer() = default;
  UpdateTransfer(const UpdateTransfer&) = delete;
  UpdateTransfer& operator=(const UpdateTransfer&) = delete;

  // Downloads from into the new file to (whose folder must exist and which must not), at most
  // maximumSize bytes and at least one. Call once per object. Throws UpdateFailure for an answer
  // that is not the requested file or has the wrong size, platform::URLError for a failure of the
  // transfer itself (connection, TLS, timeouts), and std::system_error when the finished file
  // cannot be examined or moved to its place.
  void download(const platform::Url& from, const std::filesystem::path& to,
                std::int64_t maximumSize);

  // Longest wait for more data and longest time for a whole transfer.
  static constexpr std::chrono::milliseconds kRequestTimeout = std::chrono::seconds(60);
  static constexpr std::chrono::milliseconds kResourceTimeout = std::chrono::seconds(600);

  // Replaces both timeouts for every transfer that starts while the object lives (tests only).
  class ScopedTimeoutsForTesting {
   public:
    ScopedTimeoutsForTesting(std::chrono::milliseconds request, std::chrono::milliseconds resource);
    ~ScopedTimeoutsForTesting();
    ScopedTimeoutsForTesting(const ScopedTimeoutsForTesting&) = delete;
    ScopedTimeoutsForTesting& operator=(const ScopedTimeoutsForTesting&) = delete;
  };

 private:
  bool didWriteData(std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                    std::int64_t totalBytesExpectedToWrite) override;
  void didFinishDownloading(const platform::HttpUrlResponse* response,
                            const std::filesystem::path& location) override;
  void didComplete(const platform::URLError* error) override;

  std::optional<std::filesystem::path> destination_;
  std::optional<platform::Url> expectedURL_;
  std::int64_t maximumSize_ = 0;
  // The error that ends the download. One named by the transfer itself (size, answer) always
  // wins over the session's completion error, which is kept only when nothing was recorded.
  std::exception_ptr failure_;
  bool downloaded_ = false;
};

}  // namespace bramlow
