// The squashfs 4.0 superblock check: a pure function of the header's bytes, which neither reads
// nor allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::diskimage {

inline constexpr std::size_t kSuperblockSize = 96;

struct Superblock {
  std::uint32_t blockSize = 0;
  std::uint64_t bytesUsed = 0;
};

namespace detail {
inline std::uint64_t little(const std::uint8_t* bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) value = (value << 8) | bytes[at + i - 1];
  return value;
}
}  // namespace detail

// Checks a superblock (the first size bytes of the image, fewer than kSuperblockSize when the
// file is shorter) against the length of the signed content: the magic, the version, a block
// size that is a power of two from 4 KiB to 1 MiB and matches its logarithm, a known compression,
// and every table inside the bytes used, which end at or before the content's end. Returns why
// the image must not be attached, or nullptr with superblock filled in.
inline const char* superblockProblem(const std::uint8_t* bytes, std::size_t size,
                                     std::uint64_t contentLength, Superblock& superblock) {
  using detail::little;
  constexpr std::uint32_t kMagic = 0x73717368;
  constexpr std::uint64_t kAbsentTable = ~std::uint64_t{0};
  constexpr std::uint16_t kLastCompression = 6;  // gzip, lzma, lzo, xz, lz4, zstd
  if (size < kSuperblockSize) return "the image is too short for a file system";
  if (little(bytes, 0, 4) != kMagic) return "the image holds no squashfs file system";
  if (little(bytes, 28, 2) != 4 || little(bytes, 30, 2) != 0) {
    return "the file system has an unsupported version";
  }
  superblock.blockSize = static_cast<std::uint32_t>(little(bytes, 12, 4));
  const std::uint64_t blockLog = little(bytes, 22, 2);
  if (blockLog < 12 || blockLog > 20 || superblock.blockSize != (std::uint32_t{1} << blockLog)) {
    return "the file system has an invalid block size";
  }
  const std::uint64_t compression = little(bytes, 20, 2);
  if (compression == 0 || compression > kLastCompression) {
    return "the file system has an unknown compression";
  }
  superblock.bytesUsed = little(bytes, 40, 8);
  if (superblock.bytesUsed < kSuperblockSize || superblock.bytesUsed > contentLength) {
    return "the file system runs beyond the signed content";
  }
  // Required tables (inode, directory, id) and optional ones (xattr, fragment, export) must start
  // inside the file system, in the order mksquashfs writes them.
  const std::uint64_t inodeTable = little(bytes, 64, 8);
  const std::uint64_t directoryTable = little(bytes, 72, 8);
  const std::uint64_t idTable = little(bytes, 48, 8);
  if (inodeTable < kSuperblockSize || directoryTable < inodeTable || idTable < directoryTable ||
      idTable >= superblock.bytesUsed) {
    return "the file system's tables are out of place";
  }
  for (const std::size_t at : {std::size_t{56}, std::size_t{80}, std::size_t{88}}) {
    const std::uint64_t table = little(bytes, at, 8);
    if (table != kAbsentTable && (table < directoryTable || table >= superblock.bytesUsed)) {
      return "the file system's tables are out of place";
    }
  }
  return nullptr;
}

}  // namespace platform::diskimage
