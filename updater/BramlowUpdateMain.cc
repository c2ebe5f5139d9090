#include "updater/BramlowUpdateMain.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/env/Env.h"
#include "platform/formats/Json.h"
#include "platform/url/UrlSession.h"
#include "platform/xpc/Service.h"
#include "shared/UpdateFailure.h"
#include "shared/UpdateSecurity.h"
#include "updater/removeTemporaryItem.h"

namespace bramlow {
namespace xpc = platform::xpc;
namespace {

BramlowUpdateMain::SharedService makeSharedService() {
  try {
    return std::make_shared<const UpdateService>();
  } catch (...) {
    return std::current_exception();
  }
}

std::optional<BramlowUpdateMain::SharedService>& sharedServiceSlot() {
  static std::optional<BramlowUpdateMain::SharedService> slot;
  return slot;
}
std::once_flag sharedServiceOnce;

std::string describe(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

const BramlowUpdateMain::SharedService& BramlowUpdateMain::sharedService() {
  std::call_once(sharedServiceOnce, [] {
    if (!sharedServiceSlot()) sharedServiceSlot() = makeSharedService();
  });
  return *sharedServiceSlot();
}

void BramlowUpdateMain::setSharedServiceForTesting(SharedService service) {
  sharedServiceSlot() = std::move(service);
}

const std::shared_ptr<platform::dispatch::Queue>& BramlowUpdateMain::workQueue() {
  static const std::shared_ptr<platform::dispatch::Queue> queue =
      platform::dispatch::Queue::create("com.bramlow.updates.work");
  return queue;
}

void BramlowUpdateMain::main() {
  sharedService();
  xpc::serviceMain(acceptConnection);
}

void BramlowUpdateMain::acceptConnection(const std::shared_ptr<xpc::Connection>& connection) {
  connection->setEventHandler(
      [connection](const xpc::Object& event) { handleEvent(event, connection); });
  connection->resume();
}

void BramlowUpdateMain::handleEvent(const xpc::Object& event,
                                    const std::shared_ptr<xpc::Connection>& connection) {
  const xpc::Dictionary* message = xpc::asDictionary(event);
  if (!message) return;
  std::optional<xpc::Dictionary> reply = message->createReply();
  if (!reply) return;
  workQueue()->async([message = *message, reply = std::move(*reply), connection]() mutable {
    handleRequest(message, std::move(reply), connection);
  });
}

void BramlowUpdateMain::handleRequest(const xpc::Dictionary& message, xpc::Dictionary reply,
                                      const std::shared_ptr<xpc::Connection>& connection) {
  const xpc::Dictionary answered = answerRequest(message, std::move(reply));
  // After an install that replaced the application this process runs from, the process is old code
  // whose files must stay until its clients have checked the reply; then they go, and so does it.
  // Asked before the reply leaves, so no client that comes after it reaches this process.
  const SharedService& shared = sharedService();
  if (const auto* service = std::get_if<std::shared_ptr<const UpdateService>>(&shared)) {
    if (std::optional<std::filesystem::path> replaced = (*service)->takeReplacedApplication()) {
      xpc::exitWhenIdle([folder = *replaced] { removeTemporaryItem(folder); });
    }
  }
  try {
    connection->sendMessage(answered);
  } catch (...) {
    // Too large for the channel: the request is still answered, with the generic failure.
    xpc::Dictionary fallback = *message.createReply();
    fallback.setString("error", failureMessage(std::current_exception()));
    connection->sendMessage(fallback);
  }
}

xpc::Dictionary answerRequest(const xpc::Dictionary& message, xpc::Dictionary reply) {
  try {
    const BramlowUpdateMain::SharedService& shared = BramlowUpdateMain::sharedService();
    if (const auto* error = std::get_if<std::exception_ptr>(&shared))
      std::rethrow_exception(*error);
    const UpdateService& service = *std::get<std::shared_ptr<const UpdateService>>(shared);
    UpdateSecurity::verifyMessageSender(message.remoteSender(), service.product.extensionID,
                                        service.product.team);
    const std::string* action = message.getString("action");
    if (!action) fail(markers::kMissingOperation);
    const std::string* build = message.getString("build");
    const bool force = message.getBool("force");
    const ResultDictionary result =
        service.performOperation(*action, build ? *build : std::string(), force);
    platform::Json json = platform::Json::object();
    for (const auto& [key, value] : result) {
      std::visit([&json, &key = key](const auto& item) { json[key] = item; }, value);
    }
    reply.setData("result", json.dump());
  } catch (...) {
    // Set as a C string: a message holding NUL (a detail taken from a manifest) ends there.
    reply.setString("error", failureMessage(std::current_exception()).c_str());
  }
  return reply;
}

std::string failureMessage(const std::exception_ptr& failure) {
  platform::env().log("Bramlow update operation failed: " + describe(failure));
  try {
    std::rethrow_exception(failure);
  } catch (const UpdateFailure& updateFailure) {
    return updateFailure.localizedDescription();
  } catch (const platform::URLError&) {
    return std::string(markers::kCouldNotDownload);
  } catch (...) {
    return std::string(markers::kCouldNotComplete);
  }
}

}  // namespace bramlow
