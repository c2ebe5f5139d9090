// The updater's entry and the server side of its request channel: builds the one UpdateService
// of the process before any connection is accepted, then answers every request that expects a
// reply, running all of them one at a time in arrival order on one serial work queue.
// BramlowUpdateMain holds the entry points and the process-wide state only; helpers are free
// functions below it.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <variant>

#include "platform/process/Dispatch.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Object.h"
#include "updater/UpdateService.h"

namespace bramlow {

class BramlowUpdateMain {
 public:
  // The service, or the error its construction threw: every request is answered with that error.
  using SharedService = std::variant<std::shared_ptr<const UpdateService>, std::exception_ptr>;

  // Creates sharedService, then serves connections for the life of the process.
  [[noreturn]] static void main();

  // Made on first use and never replaced.
  static const SharedService& sharedService();
  // "com.bramlow.updates.work", made on the first request that needs it.
  static const std::shared_ptr<platform::dispatch::Queue>& workQueue();

  // Installs handleEvent as the connection's event handler (which keeps the connection) and
  // resumes it. The service never cancels a connection.
  static void acceptConnection(const std::shared_ptr<platform::xpc::Connection>& connection);
  // Ignores error objects and messages that expect no reply; schedules every other message on
  // the work queue and returns at once.
  static void handleEvent(const platform::xpc::Object& event,
                          const std::shared_ptr<platform::xpc::Connection>& connection);
  // On the work queue: fills the reply (answer()) and sends it on the connection.
  static void handleRequest(const platform::xpc::Dictionary& message,
                            platform::xpc::Dictionary reply,
                            const std::shared_ptr<platform::xpc::Connection>& connection);

  // Replaces the service (or error) that sharedService() holds, before any request.
  static void setSharedServiceForTesting(SharedService service);
};

// The reply to one request: "result" with the operation's compact JSON, or "error" with the
// failure's message (failureMessage()). The sender is checked before anything else is read.
platform::xpc::Dictionary answerRequest(const platform::xpc::Dictionary& message,
                                        platform::xpc::Dictionary reply);

// Logs "Bramlow update operation failed: %@" with the failure's own description, then gives the
// message the user reads: an UpdateFailure's own, the download marker for an error of URL
// loading, the generic marker for anything else.
std::string failureMessage(const std::exception_ptr& failure);

}  // namespace bramlow
