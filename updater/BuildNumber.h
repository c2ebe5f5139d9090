// Build numbers as the updater reads them from an Info.plist: an unsigned 64-bit decimal number.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace bramlow {

// One optional "+" or "-", then one or more ASCII digits and nothing else, without overflow; a
// "-" only when the value is zero. nullopt for anything else, the empty text included.
std::optional<std::uint64_t> parseBuildNumber(std::string_view text);

}  // namespace bramlow
