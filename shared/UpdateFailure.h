// The one error type of the updater and the extension handler, and every message marker they
// raise. A marker is the English text and a six-digit identifier in one string; it travels to the
// extension's scripts byte for byte. No other file spells a marker.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace bramlow {

class UpdateFailure : public std::exception {
 public:
  // The only case: a failure that carries its user-facing message.
  static UpdateFailure message(std::string text) { return UpdateFailure(std::move(text)); }

  // The message, character for character: also what localizedDescription() gives.
  const std::string& text() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& errorDescription() const noexcept { return message_; }
  const std::string& localizedDescription() const noexcept { return message_; }
  // The module-qualified type name of the executable that carries this code, e.g.
  // "BramlowUpdater.UpdateFailure".
  static std::string errorDomain();
  static constexpr int errorCode() noexcept { return 0; }

  bool operator==(const UpdateFailure& other) const { return message_ == other.message_; }

 private:
  explicit UpdateFailure(std::string text) : message_(std::move(text)) {}
  std::string message_;
};

// The marker catalog of the updater and the extension handler.
namespace markers {
inline constexpr std::string_view kSigningRequirementInvalid =
    "[[The update signing requirement is invalid. =8f1847]]";
inline constexpr std::string_view kConnectionNotAuthenticated =
    "[[The update connection could not be authenticated. =39d093]]";
inline constexpr std::string_view kInvalidSignature =
    "[[The downloaded update has an invalid Bramlow signature. =b8e477]]";
inline constexpr std::string_view kConfigurationIncomplete =
    "[[The update configuration is incomplete. =ad33c7]]";
inline constexpr std::string_view kAddressInvalid = "[[The update address is invalid. =938d90]]";
inline constexpr std::string_view kScheduleNotConfigured =
    "[[The update schedule is not configured. =293a54]]";
inline constexpr std::string_view kInformationInvalid =
    "[[The update information is invalid. =dbcffc]]";
// Detail form: followed by one space and the release's minimum system version as written.
inline constexpr std::string_view kMinimumSystemRequired =
    "[[Minimum macOS version required: =b8882f]]";
inline constexpr std::string_view kMissingOperation = "[[Missing update operation. =85e77e]]";
inline constexpr std::string_view kCouldNotComplete =
    "[[Bramlow could not complete the update. Please check for updates again. =ed27a9]]";
inline constexpr std::string_view kCouldNotDownload =
    "[[Bramlow could not download the update. Check your connection and try again. =69f653]]";
inline constexpr std::string_view kNotInsideApp =
    "[[The updater is not inside the installed Bramlow app. =6db524]]";
inline constexpr std::string_view kInstalledAppUnidentified =
    "[[The installed Bramlow app could not be identified. =06d37d]]";
inline constexpr std::string_view kLockNotOpened =
    "[[The update lock could not be opened. =75d8f6]]";
inline constexpr std::string_view kOperationInProgress =
    "[[Another Bramlow update operation is in progress. Please try again. =ce7b44]]";
inline constexpr std::string_view kOperationNotSupported =
    "[[This update operation is not supported. =05e3e9]]";
inline constexpr std::string_view kReleaseChanged =
    "[[The release changed. Check for updates again. =e08086]]";
inline constexpr std::string_view kCachedUpdateChanged =
    "[[The cached update has changed. Check for updates again. =e8698c]]";
inline constexpr std::string_view kNotNewer =
    "[[This update is not newer than the installed app. Reopen Bramlow in Safari. =c4745e]]";
inline constexpr std::string_view kNotWritable =
    "[[Move Bramlow for Safari into a writable Applications folder before updating. =77b0a8]]";
inline constexpr std::string_view kSetupAppRunning =
    "[[Close the Bramlow for Safari setup window and quit that app, then try the update again. "
    "=39deab]]";
inline constexpr std::string_view kInstalledAppChanged =
    "[[The installed app changed during this update. Check for updates again. =3e6ad2]]";
inline constexpr std::string_view kCouldNotReplace =
    "[[macOS could not replace Bramlow. The existing app has been kept. =28152a]]";
inline constexpr std::string_view kNotRequestedRelease =
    "[[The update server did not return the requested release. =2e9148]]";
inline constexpr std::string_view kInvalidSize =
    "[[The update download has an invalid size. =582114]]";
inline constexpr std::string_view kExceedsExpectedSize =
    "[[The update download exceeds its expected size. =ec0767]]";
inline constexpr std::string_view kDownloadIncomplete =
    "[[The update download did not complete. =22675b]]";
inline constexpr std::string_view kVersionInformationInvalid =
    "[[The application's version information is invalid. =7c6005]]";
inline constexpr std::string_view kCouldNotVerifyOrPrepare =
    "[[macOS could not verify or prepare the update. =5e2524]]";
inline constexpr std::string_view kIntegrityCheckFailed =
    "[[The update download failed its integrity check. =c85645]]";
inline constexpr std::string_view kPackageMismatch =
    "[[The update package does not match its release information. =7a7cbb]]";
inline constexpr std::string_view kAppExtensionVersionMismatch =
    "[[The app and extension versions do not match. =da47e5]]";
inline constexpr std::string_view kPayloadVersionMismatch =
    "[[The bundled extension version does not match the release. =e95b22]]";
inline constexpr std::string_view kHelperMismatch =
    "[[The update helper does not match this release. =2bdcf3]]";
inline constexpr std::string_view kUnsupportedOperation =
    "[[Unsupported update operation. =b0f84c]]";
inline constexpr std::string_view kInvalidBuild = "[[Invalid update build. =548556]]";
inline constexpr std::string_view kAutomaticUpdatesUnavailable =
    "[[Automatic updates are not available in this distribution. =1a3358]]";
inline constexpr std::string_view kHelperUnavailable =
    "[[The update helper is unavailable. Please check for updates again. =ed679f]]";
inline constexpr std::string_view kHelperConnectionEnded =
    "[[The update helper connection ended. Please check for updates again. =74e8b4]]";
inline constexpr std::string_view kHelperInvalidResponse =
    "[[The update helper returned an invalid response. =87a55f]]";

// Every marker above, for checks that span the catalog.
inline constexpr std::string_view kCatalog[] = {
    kSigningRequirementInvalid,
    kConnectionNotAuthenticated,
    kInvalidSignature,
    kConfigurationIncomplete,
    kAddressInvalid,
    kScheduleNotConfigured,
    kInformationInvalid,
    kMinimumSystemRequired,
    kMissingOperation,
    kCouldNotComplete,
    kCouldNotDownload,
    kNotInsideApp,
    kInstalledAppUnidentified,
    kLockNotOpened,
    kOperationInProgress,
    kOperationNotSupported,
    kReleaseChanged,
    kCachedUpdateChanged,
    kNotNewer,
    kNotWritable,
    kSetupAppRunning,
    kInstalledAppChanged,
    kCouldNotReplace,
    kNotRequestedRelease,
    kInvalidSize,
    kExceedsExpectedSize,
    kDownloadIncomplete,
    kVersionInformationInvalid,
    kCouldNotVerifyOrPrepare,
    kIntegrityCheckFailed,
    kPackageMismatch,
    kAppExtensionVersionMismatch,
    kPayloadVersionMismatch,
    kHelperMismatch,
    kUnsupportedOperation,
    kInvalidBuild,
    kAutomaticUpdatesUnavailable,
    kHelperUnavailable,
    kHelperConnectionEnded,
    kHelperInvalidResponse,
};
}  // namespace markers

// Throws UpdateFailure.message(marker).
[[noreturn]] void fail(std::string_view marker);

}  // namespace bramlow
