// A folder of the user's own for what the stand-ins share between the user's processes (the XPC
// rendezvous sockets, the records of verified code), in a place no other user can make first:
// <base>/<name>, where base is $XDG_RUNTIME_DIR when set (absolute), else /run/user/<uid> when that
// folder is the user's and private, else the user's caches folder (Env::cachesDirectory), made
// when missing. A folder at that name that is not the user's alone is refused, never repaired.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/env/Fd.h"

namespace platform {

struct UserFolder {
  std::filesystem::path path;
  UniqueFd fd;  // O_DIRECTORY, opened without following a link at the folder's own name
};

// The places openUserFolder chooses from, in order; current() reads them from this process.
struct UserFolderBases {
  std::string runtime;            // $XDG_RUNTIME_DIR, used only when absolute
  std::filesystem::path perUser;  // /run/user/<uid>, used only when the user's and private
  std::filesystem::path caches;   // the fallback
  static UserFolderBases current();
};

// Makes <base>/<name> with mode 0700 when missing and opens it. Throws std::system_error when it
// cannot be made or opened (a link at its name included), and std::runtime_error when it is not a
// folder owned by this user that no one else can reach.
UserFolder openUserFolder(std::string_view name,
                          const UserFolderBases& bases = UserFolderBases::current());

}  // namespace platform
