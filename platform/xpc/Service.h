// The entry of an XPC service process: accepts the connections of its clients and hands each to
// the service's connection handler. One process serves every client of one installed copy of the
// service.
//
// The listening socket comes from the client that started the service, as fd 3 with LISTEN_FDS=1
// and LISTEN_PID naming this process (so a socket unit of the system's service manager could start
// it the same way); a service started otherwise binds its own socket. The process exits when it
// has had no connection and no work for the idle delay: a connection counts as long as its object
// lives, that is until its final event has been handled and no work holds it any more.
//
// A service serves only while its bundle is the one installed at its path: once the executable
// there is another file (the copy replaced from outside, or by an install), it greets no new
// client and ends as exitWhenIdle does, so the client's one retry starts the copy installed now.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/xpc/Connection.h"

namespace platform::xpc {

using ConnectionHandler = std::function<void(const std::shared_ptr<Connection>&)>;

// How long an idle service waits for a new connection before it exits.
inline constexpr std::chrono::seconds kIdleExitDelay{5};

// Serves connections until the service has been idle for the idle delay, then exits the process
// with status 0; exits with status 1 when there is nothing to listen on. Each new connection gets
// its own serial queue for its events and is handed to handler, not yet resumed, on the thread that
// accepts connections: the handler sets the event handler and calls resume(), and must not block.
// Never returns.
[[noreturn]] void serviceMain(const ConnectionHandler& handler);

// Ends the service early: no new connection is accepted (the socket is removed, so the next client
// starts a new service process), and once the connections already accepted have ended, beforeExit
// runs and the process exits with status 0. Safe from any thread; a later call adds its
// beforeExit, run after the earlier ones.
void exitWhenIdle(std::function<void()> beforeExit);

// A shorter idle delay, for a test service that is to exit quickly. Call before serviceMain.
void setIdleExitDelayForTesting(std::chrono::milliseconds delay);

}  // namespace platform::xpc
