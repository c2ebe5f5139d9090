// Bundle facts and file digests that the updater's checks are built from.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "platform/formats/PropertyList.h"

namespace bramlow {

// The bytes one read of a file being hashed asks for; hashing never holds more of the file.
inline constexpr std::size_t kHashReadChunk = 1048576;

// The dictionary of <bundle>/Contents/Info.plist. A read error (std::system_error) and a parse
// error (platform::plist::PropertyListError) pass through; a top level that is not a dictionary
// raises the version-information marker.
platform::plist::Dictionary readInfoPlist(const std::filesystem::path& bundle);

// SHA-256 of a regular file's bytes as 64 lower-case hexadecimal digits. Anything else at the path
// (a link, a FIFO, a device...) throws platform::NotRegularFileError unread; open and read errors
// pass through as std::system_error, after the file is closed.
std::string fileSHA256(const std::filesystem::path& file);

// Two lower-case hexadecimal digits per byte, in order, no separators.
std::string hexString(std::span<const std::uint8_t> digest);

// Closes a descriptor that was being hashed; a failed close is logged and otherwise ignored.
void closeHashInput(int fd) noexcept;

}  // namespace bramlow
