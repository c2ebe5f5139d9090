// The process on the other end of a message, as the kernel named it when the message arrived.
#pragma once

#include <sys/types.h>

namespace platform {

struct PeerIdentity {
  pid_t pid = 0;
  // A pidfd that pins the process (borrowed, not owned), or -1 when the kernel gave none. With it,
  // a check of the peer fails instead of examining another process that reused the pid.
  int pidfd = -1;
};

}  // namespace platform
