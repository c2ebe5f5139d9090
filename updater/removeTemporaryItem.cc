#include "updater/removeTemporaryItem.h"

#include <exception>
#include <string>

#include "platform/env/Env.h"

namespace bramlow {

void removeTemporaryItem(const std::filesystem::path& url) noexcept {
  platform::Env& files = platform::env();
  try {
    // lstat, not stat: a dangling symbolic link is still something to remove.
    if (!files.status(url).exists) return;
    files.removeItem(url);
  } catch (const std::exception& error) {
    files.log("Could not remove update temporary file " + url.string() + ": " + error.what());
  } catch (...) {
    files.log("Could not remove update temporary file " + url.string() + ": unknown error");
  }
}

}  // namespace bramlow
