// Every text the setup application shows, as a message marker: the English text and its catalog
// id. translateMarker turns a marker into the user's language. No other file spells these.
#pragma once

#include <array>
#include <string_view>

namespace bramlow::setup::markers {

inline constexpr std::string_view kCheckingStatus =
    "[[Checking Safari extension status... =2e88f3]]";
inline constexpr std::string_view kOpenSettings = "[[Open Safari Settings =333bd7]]";
inline constexpr std::string_view kQuit = "[[Quit Bramlow for Safari =971f7e]]";
inline constexpr std::string_view kTagline = "[[Your bookmarks, right in Safari. =516e7f]]";
// Placeholders: {version} and {build}.
inline constexpr std::string_view kVersion = "[[Version {version} (build {build}) =a553d7]]";
inline constexpr std::string_view kSteps =
    "[[1. Open Safari Settings and select Extensions.\n"
    "2. Enable Bramlow Bookmark Manager for your Safari profile.\n"
    "3. Click Bramlow in Safari's toolbar and sign in to your Bramlow account. =4237a7]]";
inline constexpr std::string_view kWebsiteAccess =
    "[[Safari may ask for website access when you save a page. You can review that access in "
    "Safari Settings. Your bookmarks remain available through your Bramlow account. =d4c6c0]]";
inline constexpr std::string_view kCheckAgain = "[[Check Again =32e60e]]";
inline constexpr std::string_view kStatusUnavailable =
    "[[Safari status is unavailable. Open Safari Settings to check the extension. =f98808]]";
inline constexpr std::string_view kNoStatus =
    "[[Safari returned no extension status. Open Safari Settings to check the extension. "
    "=6ccda5]]";
inline constexpr std::string_view kEnabled =
    "[[Bramlow is enabled in Safari. Use the toolbar button to open your bookmarks. =d9c6ce]]";
inline constexpr std::string_view kNotEnabled =
    "[[Bramlow is not enabled. Turn it on in Safari Settings to get started. =25b541]]";
inline constexpr std::string_view kSettingsOpened =
    "[[Enable Bramlow in Safari Settings, then return here to check its status. =e3ae8d]]";
inline constexpr std::string_view kSettingsFailed =
    "[[Could not open Safari Settings. In Safari, choose Settings, then Extensions. =e56477]]";

// Every marker above, so that the shipped catalogs can be checked against the code.
inline constexpr std::array kAll = {
    kCheckingStatus, kOpenSettings,  kQuit,           kTagline,           kVersion,
    kSteps,          kWebsiteAccess, kCheckAgain,     kStatusUnavailable, kNoStatus,
    kEnabled,        kNotEnabled,    kSettingsOpened, kSettingsFailed,
};

}  // namespace bramlow::setup::markers
