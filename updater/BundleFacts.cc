#include "updater/BundleFacts.h"

#include <memory>

#include "platform/crypto/Sha256.h"
#include "platform/env/Env.h"
#include "shared/UpdateFailure.h"

namespace bramlow {

platform::plist::Dictionary readInfoPlist(const std::filesystem::path& bundle) {
  const std::string bytes = platform::env().readFile(bundle / "Contents" / "Info.plist");
  platform::plist::Value value = platform::plist::parse(bytes);
  auto* dictionary = std::get_if<platform::plist::Dictionary>(&value.v);
  if (!dictionary) fail(markers::kVersionInformationInvalid);
  return std::move(*dictionary);
}

std::string fileSHA256(const std::filesystem::path& file) {
  platform::Env& env = platform::env();
  platform::UniqueFd fd = env.openRegularFile(file).fd;
  // Closing goes through closeHashInput on every path, so a failed close is logged, not lost.
  struct Closer {
    platform::UniqueFd& fd;
    ~Closer() {
      if (fd) closeHashInput(fd.release());
    }
  } closer{fd};

  platform::Sha256 sha;
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kHashReadChunk);
  for (;;) {
    const std::size_t n = env.read(fd.get(), buffer.get(), kHashReadChunk);
    if (n == 0) break;
    sha.update(buffer.get(), n);
  }
  const platform::Sha256Digest digest = sha.finish();
  return hexString(digest);
}

std::string hexString(std::span<const std::uint8_t> digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

void closeHashInput(int fd) noexcept {
  try {
    platform::env().close(fd);
  } catch (const std::exception& error) {
    platform::env().log(std::string("Could not close the update hash input: ") + error.what());
  }
}

}  // namespace bramlow
