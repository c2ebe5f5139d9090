// A bundle: a folder with Contents/Info.plist, Contents/MacOS/<executable> and
// Contents/Resources/. A process's main bundle is found from its own executable.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/formats/PropertyList.h"

namespace platform {

class Bundle {
 public:
  // The bundle at path (no trailing separator is kept). Its Info.plist is read once, here; an
  // unreadable or malformed one yields an empty info dictionary, as a bundle without one has.
  explicit Bundle(std::filesystem::path path);

  // The bundle of the running executable: <bundle>/Contents/MacOS/<executable>. Throws
  // std::system_error when the executable's path cannot be read.
  static Bundle main();
  // Its folder alone, without reading its Info.plist.
  static std::filesystem::path mainBundlePath();

  const std::filesystem::path& bundlePath() const { return path_; }
  std::filesystem::path infoPlistPath() const { return path_ / "Contents" / "Info.plist"; }
  std::filesystem::path resourcesPath() const { return path_ / "Contents" / "Resources"; }

  const plist::Dictionary& infoDictionary() const { return info_; }
  // The Info.plist value under key, of whatever type, or nullptr.
  const plist::Value* objectForInfoDictionaryKey(const std::string& key) const;

  // Contents/Resources/<name>.<extension> when a file (not a folder) is there.
  std::optional<std::filesystem::path> pathForResource(const std::string& name,
                                                       const std::string& extension) const;

 private:
  std::filesystem::path path_;
  plist::Dictionary info_;
};

}  // namespace platform
