#include "platform/env/UserFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "platform/env/Env.h"
#include "platform/env/Errors.h"

namespace platform {
namespace fs = std::filesystem;
namespace {

bool privateFolderOfUser(const struct stat& status) {
  return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

// Made when missing; what is there is examined by the caller, on the opened descriptor.
void makeFolder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throwErrno("Cannot create the folder", folder.string());
  }
}

fs::path chooseBase(const UserFolderBases& bases) {
  if (!bases.runtime.empty() && bases.runtime.front() == '/') return bases.runtime;
  // Made at login by the system for this user alone; a folder there of anyone else's is ignored.
  struct stat status {};
  if (::lstat(bases.perUser.c_str(), &status) == 0 && privateFolderOfUser(status)) {
    return bases.perUser;
  }
  makeFolder(bases.caches);
  return bases.caches;
}

}  // namespace

UserFolderBases UserFolderBases::current() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // NOLINT(concurrency-mt-unsafe)
  // The real one, not a test's: a client and the service it starts must choose the same folder.
  return {runtime ? runtime : "", "/run/user/" + std::to_string(::geteuid()),
          Env::Default().cachesDirectory()};
}

UserFolder openUserFolder(std::string_view name, const UserFolderBases& bases) {
  UserFolder folder;
  folder.path = chooseBase(bases) / name;
  makeFolder(folder.path);
  folder.fd.reset(::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.fd) throwErrno("Cannot open the folder", folder.path.string());
  struct stat status {};
  if (::fstat(folder.fd.get(), &status) != 0) throwErrno("Cannot examine", folder.path.string());
  if (!privateFolderOfUser(status)) {
    throw std::runtime_error("The folder " + folder.path.string() + " is not private to the user");
  }
  return folder;
}

}  // namespace platform
