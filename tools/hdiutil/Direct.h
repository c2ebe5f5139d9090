// What both ways through hdiutil share: the programs attach and detach become, and their options.
#pragma once

namespace hdiutil {

// The Linux tools behind the stand-in, from the real system (not the platform root).
inline constexpr const char* kSquashfuse = "/usr/bin/squashfuse";
inline constexpr const char* kFusermount = "/usr/bin/fusermount3";
// Read-only, and nothing on the image may act as a device or gain privileges.
inline constexpr const char* kMountOptions = "ro,nodev,nosuid";
// The image reaches squashfuse as its descriptor 3, the one that was checked.
inline constexpr const char* kPassedImage = "/dev/fd/3";

}  // namespace hdiutil
