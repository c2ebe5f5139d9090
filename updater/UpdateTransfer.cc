#include "updater/UpdateTransfer.h"

#include <atomic>

#include "platform/env/Env.h"
#include "shared/UpdateFailure.h"

namespace bramlow {
namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

// Zero: the product's timeouts.
std::atomic<milliseconds::rep> requestTimeoutForTesting{0};
std::atomic<milliseconds::rep> resourceTimeoutForTesting{0};

milliseconds effective(const std::atomic<milliseconds::rep>& override, milliseconds product) {
  const milliseconds::rep value = override.load();
  return value > 0 ? milliseconds(value) : product;
}

std::exception_ptr failureFor(std::string_view marker) {
  return std::make_exception_ptr(UpdateFailure::message(std::string(marker)));
}

}  // namespace

UpdateTransfer::ScopedTimeoutsForTesting::ScopedTimeoutsForTesting(milliseconds request,
                                                                   milliseconds resource) {
  requestTimeoutForTesting.store(request.count());
  resourceTimeoutForTesting.store(resource.count());
}

UpdateTransfer::ScopedTimeoutsForTesting::~ScopedTimeoutsForTesting() {
  requestTimeoutForTesting.store(0);
  resourceTimeoutForTesting.store(0);
}

void UpdateTransfer::download(const platform::Url& from, const fs::path& to,
                              std::int64_t maximumSize) {
  destination_ = to;
  expectedURL_ = from;
  maximumSize_ = maximumSize;

  platform::UrlSessionConfiguration configuration;
  configuration.timeoutIntervalForRequest = effective(requestTimeoutForTesting, kRequestTimeout);
  configuration.timeoutIntervalForResource = effective(resourceTimeoutForTesting, kResourceTimeout);
  // The body arrives beside its destination, so delivering it is a rename on one volume.
  configuration.temporaryDirectory = to.parent_path().empty() ? fs::path(".") : to.parent_path();

  // The session runs the whole transfer on this thread and has ended (its connection closed, its
  // temporary file gone) when download returns; the delegate calls have all been made by then.
  platform::UrlSession session(configuration);
  session.download(from, *this);

  if (failure_) std::rethrow_exception(failure_);
  if (downloaded_) return;
  fail(markers::kDownloadIncomplete);
}

// Progress: the announced length and the bytes so far must both stay within the limit. An unknown
// length is reported as -1 and so always passes; the written total still holds such a body.
bool UpdateTransfer::didWriteData(std::int64_t /*bytesWritten*/, std::int64_t totalBytesWritten,
                                  std::int64_t totalBytesExpectedToWrite) {
  if (maximumSize_ >= totalBytesWritten && maximumSize_ >= totalBytesExpectedToWrite) return true;
  failure_ = failureFor(markers::kExceedsExpectedSize);
  return false;
}

void UpdateTransfer::didFinishDownloading(const platform::HttpUrlResponse* response,
                                          const fs::path& location) {
  try {
    // A redirect is never followed, so a 3xx answer ends up here and is refused like any other
    // status but 200.
    if (!response || response->statusCode != 200) fail(markers::kNotRequestedRelease);
    if (!expectedURL_ || !(response->url == *expectedURL_)) fail(markers::kNotRequestedRelease);

    const platform::FileStatus file = platform::env().status(location);
    if (!file.exists || !file.isRegular) fail(markers::kInvalidSize);
    const auto size = static_cast<std::int64_t>(file.size);
    if (size < 1 || size > maximumSize_) fail(markers::kInvalidSize);

    platform::env().rename(location, *destination_);
    downloaded_ = true;
  } catch (...) {
    failure_ = std::current_exception();
  }
}

void UpdateTransfer::didComplete(const platform::URLError* error) {
  if (error && !failure_) failure_ = std::make_exception_ptr(*error);
}

}  // namespace bramlow
