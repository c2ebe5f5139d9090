// A raw client of the updater's request channel, for requests the extension host never sends.
// Usage: channel_client SERVICES_FOLDER SERVICE_NAME MESSAGE...
// Each MESSAGE, a JSON object whose strings, booleans and integers become the request's values,
// is sent on a connection of its own and answered by one line: the reply's "result" text,
// {"error": text}, or null for an error object. The MESSAGE "close" instead opens a connection and
// ends it unused, which the service sees as an error event; it prints nothing.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

#include "platform/formats/Json.h"
#include "platform/process/Dispatch.h"
#include "platform/xpc/Connection.h"

int main(int argc, char** argv) {
  namespace xpc = platform::xpc;
  if (argc < 3) return 2;
  xpc::Connection::setServicesFolderForTesting(argv[1]);
  const auto queue = platform::dispatch::Queue::create("channel-client");
  for (int i = 3; i < argc; ++i) {
    const auto connection = xpc::Connection::create(argv[2], queue);
    connection->setEventHandler([](const xpc::Object&) {});
    connection->resume();
    if (std::string(argv[i]) == "close") {
      connection->cancel();
      continue;
    }
    xpc::Dictionary message;
    const platform::Json json = platform::parseJson(argv[i]);
    for (const auto& [key, value] : json.items()) {
      if (value.is_string()) message.setString(key, value.get<std::string>());
      if (value.is_boolean()) message.setBool(key, value.get<bool>());
      if (value.is_number_integer()) message.setInt64(key, value.get<std::int64_t>());
    }
    // Printed on the queue, which the process waits for before it sends the next message.
    const auto answered = std::make_shared<platform::dispatch::Semaphore>();
    connection->sendMessageWithReply(message, queue, [answered](const xpc::Object& reply) {
      const xpc::Dictionary* dictionary = xpc::asDictionary(reply);
      const std::string* error = dictionary ? dictionary->getString("error") : nullptr;
      const std::string* result = dictionary ? dictionary->getData("result") : nullptr;
      std::cout << (error    ? platform::Json{{"error", *error}}.dump()
                    : result ? *result
                             : "null")
                << std::endl;
      answered->signal();
    });
    if (!answered->waitFor(std::chrono::seconds(60))) return 1;
    connection->cancel();
  }
  return 0;
}
