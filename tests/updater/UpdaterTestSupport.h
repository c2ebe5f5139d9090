// Outcomes as table rows state them, and what a folder holds: shared by the updater's tests.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <system_error>

#include "platform/formats/Json.h"
#include "platform/formats/PropertyList.h"
#include "platform/url/UrlSession.h"
#include "shared/UpdateFailure.h"
#include "tests/support/TestSupport.h"

namespace testing_support {

// "" when the call returns, the marker of an UpdateFailure, or the kind of another error.
template <typename Call>
std::string outcomeOf(Call&& call) {
  try {
    call();
    return "";
  } catch (const bramlow::UpdateFailure& failure) {
    return failure.text();
  } catch (const platform::URLError& error) {
    return "URLError " + std::to_string(static_cast<int>(error.code()));
  } catch (const platform::JsonError&) {
    return "json";
  } catch (const platform::DecodingError&) {
    return "decoding";
  } catch (const std::system_error&) {
    return "system_error";
  }
}

// A change to an Info.plist: one key set to a value.
inline std::function<void(platform::plist::Dictionary&)> set(const char* key,
                                                             const platform::plist::Value& value) {
  return [key, value](platform::plist::Dictionary& d) { d[key] = value; };
}

inline std::set<std::string> namesIn(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename());
  return names;
}

// Every entry below a folder: type, mode and content or link target, by relative path.
inline std::map<std::string, std::string> snapshot(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> tree;
  if (!fs::exists(root)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    std::string what = std::to_string(info.st_mode);
    if (S_ISLNK(info.st_mode)) what += " -> " + fs::read_symlink(entry.path()).string();
    if (S_ISREG(info.st_mode)) what += " " + readFile(entry.path());
    tree[fs::relative(entry.path(), root).string()] = what;
  }
  return tree;
}

}  // namespace testing_support
