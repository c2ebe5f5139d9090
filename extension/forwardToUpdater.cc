#include "extension/forwardToUpdater.h"

#include <exception>
#include <utility>

#include "extension/SafariWebExtensionHandler.h"
#include "platform/formats/Json.h"
#include "platform/process/Dispatch.h"
#include "platform/xpc/Connection.h"
#include "shared/UpdateFailure.h"
#include "shared/UpdateSecurity.h"

namespace bramlow {
namespace xpc = platform::xpc;
namespace {

// The largest "result" the updater may send; anything longer is not parsed.
constexpr std::size_t kMaximumResultSize = 65536;

// Shared by the event and reply handlers of one request; only touched on its queue.
struct Request {
  std::shared_ptr<xpc::Connection> connection;
  std::shared_ptr<platform::ExtensionContext> context;
  std::string serviceName;
  std::string team;
  bool finished = false;
};

// The first answer wins: later ones (a reply after the connection broke, or the connection's
// final event after the answer) are dropped.
void answer(Request& request, const platform::Json& response) {
  if (request.finished) return;
  request.finished = true;
  request.connection->cancel();
  SafariWebExtensionHandler::sendResponse(response, request.context);
}

platform::Json errorResponse(const std::string& message) {
  return platform::Json::object({{"error", message}});
}

platform::Json responseToReply(const xpc::Object& object, const Request& request) {
  try {
    const xpc::Dictionary* reply = xpc::asDictionary(object);
    if (!reply) fail(markers::kHelperUnavailable);
    UpdateSecurity::verifyMessageSender(reply->remoteSender(), request.serviceName, request.team);
    if (const std::string* error = reply->getString("error")) {
      throw UpdateFailure::message(*error);
    }
    const std::string* result = reply->getData("result");
    if (!result || result->size() > kMaximumResultSize) fail(markers::kHelperInvalidResponse);
    platform::Json json = platform::parseJson(*result);
    if (!json.is_object()) fail(markers::kHelperInvalidResponse);
    return json;
  } catch (const std::exception& failure) {
    return errorResponse(failure.what());
  }
}

}  // namespace

void forwardToUpdater(const std::string& action, const std::string& build, bool force,
                      const std::string& serviceName, const std::string& team,
                      std::shared_ptr<platform::ExtensionContext> context) {
  std::shared_ptr<platform::dispatch::Queue> queue;
  try {
    queue = platform::dispatch::Queue::create("com.bramlow.safari.update-connection");
  } catch (const std::exception&) {
    // No thread for the request: it is still answered, at once.
    SafariWebExtensionHandler::sendResponse(errorResponse(std::string(markers::kHelperUnavailable)),
                                            context);
    return;
  }
  auto request = std::make_shared<Request>();
  request->connection = xpc::Connection::create(serviceName, queue);
  request->context = std::move(context);
  request->serviceName = serviceName;
  request->team = team;

  // The handlers hold the request, the request holds the connection: the connection releases
  // its handlers after its final event, which the cancellation in answer() brings.
  request->connection->setEventHandler([request](const xpc::Object& event) {
    if (std::holds_alternative<xpc::Error>(event)) {
      answer(*request, errorResponse(std::string(markers::kHelperConnectionEnded)));
    }
  });
  request->connection->resume();

  // Strings go out as C strings: a build holding NUL ends there.
  xpc::Dictionary message;
  message.setString("action", action.c_str());
  message.setString("build", build.c_str());
  message.setBool("force", force);
  try {
    request->connection->sendMessageWithReply(message, queue, [request](const xpc::Object& reply) {
      answer(*request, responseToReply(reply, *request));
    });
  } catch (const std::exception&) {
    // A request that cannot be sent is answered like a helper out of reach.
    queue->async(
        [request] { answer(*request, errorResponse(std::string(markers::kHelperUnavailable))); });
  }
}

}  // namespace bramlow
