// The frame every operation runs in (lock, identification of the installed application, dispatch)
// and the "check" operation.
#include <fcntl.h>

#include <chrono>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/Env.h"
#include "platform/Fd.h"
#include "platform/Uuid.h"
#include "shared/UpdateFailure.h"
#include "updater/UpdateRelease.h"
#include "updater/UpdateService.h"
#include "updater/UpdateTransfer.h"
#include "updater/removeTemporaryItem.h"

namespace bramlow {
namespace fs = std::filesystem;

namespace {

// The release information is a small document; anything larger is not one.
constexpr std::int64_t kReleaseInformationLimit = 65536;

// Removes a temporary item when the scope ends, however it ends.
class TemporaryItem {
 public:
  explicit TemporaryItem(fs::path path) : path_(std::move(path)) {}
  ~TemporaryItem() { removeTemporaryItem(path_); }
  TemporaryItem(const TemporaryItem&) = delete;
  TemporaryItem& operator=(const TemporaryItem&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

UpdateRelease validRelease(const UpdateService& service, const std::string& bytes) {
  UpdateRelease release = UpdateRelease::decode(bytes);
  release.validate(service.product);
  return release;
}

// What the cache folder holds can have been replaced by anyone who can write there: a FIFO or a
// device in its place must not block or flood the operation that holds the lock.
std::string readReleaseInformation(const UpdateService& service, const fs::path& file) {
  return service.files.readRegularFile(file, kReleaseInformationLimit);
}

bool isUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// ".transfer-" + UUID + ".part": the name the URL session gives a body while it arrives.
bool isTransferFileName(std::string_view name) {
  constexpr std::string_view prefix = ".transfer-";
  constexpr std::string_view suffix = ".part";
  constexpr std::size_t uuidLength = 36;
  if (name.size() != prefix.size() + uuidLength + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix)) {
    return false;
  }
  const std::string_view uuid = name.substr(prefix.size(), uuidLength);
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? uuid[i] != '-' : !isUpperHexDigit(uuid[i])) return false;
  }
  return true;
}

// A transfer's partial file goes when the transfer ends, but not when its process is killed.
// Under the lock no transfer can be running (operations are serial and each holds the lock), so
// any such file left is an earlier process's.
void removeStaleTransfers(const UpdateService& service) noexcept {
  std::vector<std::string> names;
  try {
    names = service.files.listDirectory(service.cache);
  } catch (const std::exception&) {
    return;  // the next operation tries again; clearing up never fails an operation
  }
  for (const std::string& name : names) {
    if (isTransferFileName(name)) removeTemporaryItem(service.cache / name);
  }
}

// Whether "release.json" may answer instead of the server: it exists, its date is not in the
// future, and it is younger than the check interval.
bool cacheIsFresh(const UpdateService& service, const fs::path& releaseFile) {
  const platform::FileStatus file = service.files.status(releaseFile);
  if (!file.exists) return false;
  const double age =
      std::chrono::duration<double>(service.files.now() - file.modificationTime).count();
  // A date in the future (a clock set back, a copied file) proves nothing about freshness.
  if (age < 0) return false;
  return age < service.product.checkInterval;
}

// Fetches "latest.json" and, once it is valid, keeps its exact bytes as "release.json". The fetch
// goes to a "feed-" file that is removed on every way out; a failure leaves "release.json" as it
// was.
UpdateRelease fetchRelease(const UpdateService& service, const fs::path& releaseFile) {
  const TemporaryItem temp(service.cache / ("feed-" + platform::newUuidString() + ".json"));
  UpdateTransfer transfer;
  transfer.download(service.product.baseURL.appendingPathComponent("latest.json"), temp.path(),
                    kReleaseInformationLimit);
  const std::string bytes = readReleaseInformation(service, temp.path());
  UpdateRelease release = validRelease(service, bytes);
  service.files.writeFileAtomically(releaseFile, bytes);
  return release;
}

ResultDictionary check(const UpdateService& service, bool force) {
  const fs::path releaseFile = service.cache / "release.json";
  // Within the interval the cache answers, also with its failure: a cached release that no longer
  // validates is not a reason to ask the server before the interval is over.
  const UpdateRelease release =
      !force && cacheIsFresh(service, releaseFile)
          ? validRelease(service, readReleaseInformation(service, releaseFile))
          : fetchRelease(service, releaseFile);
  return ResultDictionary{{"version", release.build},
                          {"nativeVersion", release.version},
                          {"payloadVersion", release.payloadVersion}};
}

}  // namespace

ResultDictionary UpdateService::performOperation(const std::string& action,
                                                 const std::string& build, bool force) const {
  platform::UniqueFd lock;
  try {
    lock = files.open(cache / "update.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  } catch (const std::system_error&) {
    fail(markers::kLockNotOpened);
  }
  // Not waiting: a second operation, here or in another process, is refused at once. Closing the
  // descriptor on the way out (or the process dying) releases the lock.
  if (!files.tryLockExclusive(lock.get())) fail(markers::kOperationInProgress);
  removeStaleTransfers(*this);

  const platform::plist::Dictionary installedInfo = installedAppInfo();

  if (action == "check") return check(*this, force);
  if (action == "download" || action == "install") {
    // These arrive with the download and install operations; until then they are refused like
    // any other action, still under the lock and after identification.
    static_cast<void>(build);
    static_cast<void>(installedInfo);
    fail(markers::kOperationNotSupported);
  }
  fail(markers::kOperationNotSupported);
}

}  // namespace bramlow
