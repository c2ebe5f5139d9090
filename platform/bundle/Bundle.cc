#include "platform/bundle/Bundle.h"

#include "platform/env/Env.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

fs::path withoutTrailingSeparator(fs::path path) {
  // "a/b/" has an empty last component; bundle paths are compared and cut by component.
  while (path.has_relative_path() && path.filename().empty()) path = path.parent_path();
  return path;
}

}  // namespace

Bundle::Bundle(fs::path path) : path_(withoutTrailingSeparator(std::move(path))) {
  try {
    plist::Value value = plist::parse(env().readFile(infoPlistPath()));
    if (auto* dictionary = std::get_if<plist::Dictionary>(&value.v)) info_ = std::move(*dictionary);
  } catch (const std::exception&) {
    // A bundle without a readable Info.plist simply has no info.
  }
}

Bundle Bundle::main() { return Bundle(mainBundlePath()); }

fs::path Bundle::mainBundlePath() {
  return withoutTrailingSeparator(env().executablePath().parent_path().parent_path().parent_path());
}

const plist::Value* Bundle::objectForInfoDictionaryKey(const std::string& key) const {
  const auto it = info_.find(key);
  return it == info_.end() ? nullptr : &it->second;
}

std::optional<fs::path> Bundle::pathForResource(const std::string& name,
                                                const std::string& extension) const {
  fs::path candidate = resourcesPath() / (extension.empty() ? name : name + "." + extension);
  std::error_code error;
  if (fs::is_regular_file(candidate, error)) return candidate;
  return std::nullopt;
}

}  // namespace platform
