// The release manifest: the one release the update server offers, and its validation against the
// product and the running system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "updater/UpdateProduct.h"

namespace bramlow {

// The largest disk image a release may state.
inline constexpr std::int64_t kMaximumArtifactSize = 1073741824;

struct UpdateRelease {
  struct Artifact {
    std::string name;
    std::string sha256;
    std::int64_t size = 0;
  };

  std::int64_t schema = 0;
  std::string product;
  std::string version;
  std::string build;
  std::string payloadVersion;
  std::string payloadSha256;
  std::string minimumSystemVersion;
  Artifact artifact;

  // Strict decoding of the document: every member required, no conversion between JSON types,
  // integers whole and within the signed 64-bit range; members it does not know are ignored.
  // Throws platform::JsonError or platform::DecodingError, never UpdateFailure.
  static UpdateRelease decode(std::string_view bytes);

  // The format checks in order, then the minimum system. Raises UpdateFailure.
  void validate(const UpdateProduct& product) const;
};

// The whole value must match; a trailing line break is not accepted.
bool matchesBuildPattern(std::string_view text);    // 1 to 15 digits, the first not 0
bool matchesVersionPattern(std::string_view text);  // 1 to 3 dot-separated runs of 1 to 5 digits
bool matchesDigestPattern(std::string_view text);   // 64 lower-case hexadecimal digits

}  // namespace bramlow
