#include "updater/UpdateRelease.h"

#include <vector>

#include "platform/env/Env.h"
#include "platform/formats/Json.h"
#include "shared/UpdateFailure.h"

namespace bramlow {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the version's numbers the way the minimum-system comparison does: split at ".", empty
// pieces dropped, pieces that do not read as decimal numbers dropped.
std::vector<long> versionNumbers(std::string_view text) {
  std::vector<long> numbers;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t dot = text.find('.', start);
    if (dot == std::string_view::npos) dot = text.size();
    const std::string_view piece = text.substr(start, dot - start);
    if (!piece.empty()) {
      long value = 0;
      bool reads = true;
      for (const char c : piece) {
        if (!isDigit(c) || value > 100000000) {
          reads = false;
          break;
        }
        value = value * 10 + (c - '0');
      }
      if (reads) numbers.push_back(value);
    }
    start = dot + 1;
  }
  return numbers;
}

bool systemIsAtLeast(const platform::OperatingSystemVersion& running, long major, long minor,
                     long patch) {
  if (running.major != major) return running.major > major;
  if (running.minor != minor) return running.minor > minor;
  return running.patch >= patch;
}

}  // namespace

bool matchesBuildPattern(std::string_view text) {
  if (text.empty() || text.size() > 15 || text.front() == '0') return false;
  for (const char c : text) {
    if (!isDigit(c)) return false;
  }
  return true;
}

bool matchesVersionPattern(std::string_view text) {
  int components = 0;
  std::size_t run = 0;
  for (const char c : text) {
    if (c == '.') {
      if (run == 0) return false;
      ++components;
      run = 0;
    } else if (isDigit(c)) {
      if (++run > 5) return false;
    } else {
      return false;
    }
  }
  if (run == 0) return false;  // empty text, or a trailing dot
  return components + 1 <= 3;
}

bool matchesDigestPattern(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!isDigit(c) && !(c >= 'a' && c <= 'f')) return false;
  }
  return true;
}

UpdateRelease UpdateRelease::decode(std::string_view bytes) {
  const platform::Json document = platform::parseJson(bytes, /*allowFragments=*/true);
  UpdateRelease release;
  release.schema = platform::decodeInt64(document, "schema");
  release.product = platform::decodeString(document, "product");
  release.version = platform::decodeString(document, "version");
  release.build = platform::decodeString(document, "build");
  release.payloadVersion = platform::decodeString(document, "payloadVersion");
  release.payloadSha256 = platform::decodeString(document, "payloadSha256");
  release.minimumSystemVersion = platform::decodeString(document, "minimumSystemVersion");
  const platform::Json& artifact = platform::decodeMember(document, "artifact");
  release.artifact.name = platform::decodeString(artifact, "name");
  release.artifact.sha256 = platform::decodeString(artifact, "sha256");
  release.artifact.size = platform::decodeInt64(artifact, "size");
  return release;
}

void UpdateRelease::validate(const UpdateProduct& forProduct) const {
  const bool formatValid = schema == 1 && product == forProduct.appID &&
                           matchesBuildPattern(build) && matchesVersionPattern(version) &&
                           matchesVersionPattern(minimumSystemVersion) && !payloadVersion.empty() &&
                           matchesDigestPattern(payloadSha256) &&
                           artifact.name == forProduct.artifactPrefix + "-" + build + ".dmg" &&
                           matchesDigestPattern(artifact.sha256) && artifact.size >= 1 &&
                           artifact.size <= kMaximumArtifactSize;
  if (!formatValid) fail(markers::kInformationInvalid);

  const std::vector<long> numbers = versionNumbers(minimumSystemVersion);
  const long major = numbers.empty() ? 0 : numbers[0];
  const long minor = numbers.size() > 1 ? numbers[1] : 0;
  const long patch = numbers.size() > 2 ? numbers[2] : 0;
  if (!systemIsAtLeast(platform::env().systemVersion(), major, minor, patch)) {
    throw UpdateFailure::message(std::string(markers::kMinimumSystemRequired) + " " +
                                 minimumSystemVersion);
  }
}

}  // namespace bramlow
