// Where a service and its clients meet, and how a client starts a service that is not running.
// Internal to the XPC stand-in (Connection.cc and Service.cc).
//
// Each installed copy of a service has its own listening socket and activation lock in the
// user's rendezvous folder, "bramlow-xpc" in the user's own folder (UserFolder.h: the runtime
// folder, else the caches folder; mode 0700 and owned by the user, or it is not used). Both names
// hold the start of the service name and a digest of the service bundle's real path, so two copies
// of one service never share a socket. A socket path longer than a socket address holds (a caches
// folder in a long home) makes the service unreachable with that reason, never a shortened path.
#pragma once

#include <filesystem>
#include <string>

#include "platform/env/Fd.h"

namespace platform::xpc::rendezvous {

struct Service {
  std::string name;                  // its CFBundleIdentifier
  std::filesystem::path bundle;      // real path of the .xpc bundle
  std::filesystem::path executable;  // Contents/MacOS/<CFBundleExecutable>
  std::filesystem::path socketPath;  // the listening socket
  std::filesystem::path lockPath;    // the activation lock beside it
};

// The service bundle at bundle (its identity and rendezvous names). Throws std::runtime_error
// or std::system_error when it is no service bundle, the rendezvous folder is not safe or the
// socket path does not fit a socket address.
Service serviceAt(const std::filesystem::path& bundle);

// The service named name among servicesFolder/*.xpc, by CFBundleIdentifier. Throws like serviceAt,
// and std::runtime_error when there is none.
Service findService(const std::string& name, const std::filesystem::path& servicesFolder);

// Makes a SOCK_SEQPACKET socket ready for XPC traffic: credentials and pidfds passed with every
// packet, and a send buffer that holds the largest packet.
void prepareSocket(int fd);

// A connected socket to the service, or an invalid one when nobody listens.
UniqueFd tryConnect(const Service& service);

// The activation lock, held while the object lives (flock, exclusive, waiting for it).
UniqueFd lockActivation(const Service& service);

// A new listening socket at the service's socket path (a stale socket file is replaced).
UniqueFd listenAt(const Service& service);

// Starts the service's executable with listener as fd 3 (LISTEN_FDS=1, LISTEN_PID = its pid),
// fds 0-2 on /dev/null and no other descriptor, detached from the caller: a new session, and not
// the caller's child. Throws std::system_error when the process cannot be made; a failing exec
// shows as the listener closing.
void spawnService(const Service& service, int listener);

// A connected socket to the service, started under the activation lock when nobody listens, so
// that concurrent clients start one process. Throws when the service cannot be found or started.
UniqueFd connectToService(const Service& service);

}  // namespace platform::xpc::rendezvous
