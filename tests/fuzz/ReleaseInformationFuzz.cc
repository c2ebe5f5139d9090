// The cached "release.json" is read back by "download" and "install" long after it was fetched,
// and anyone who can write the cache folder can have replaced it: whatever it holds, both
// operations must end in a result, an UpdateFailure or a runtime error (every platform error is
// one), never anything else.
// The service is a small test application whose update server is a loopback port bound here and
// never listened on, so a release that passes every check fails at its transfer at once, without
// touching the network.
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <stdexcept>

#include "platform/env/Fd.h"
#include "platform/formats/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/fuzz/Fuzz.h"
#include "updater/UpdateService.h"

namespace {
using namespace testing_support;

struct Fixture {
  // A loopback port of this process's, bound but never listened on: it refuses every connection.
  platform::UniqueFd port{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  fuzzing::Root root;
  std::unique_ptr<bramlow::UpdateService> service;

  Fixture() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(port.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(port.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::abort();
    }
    platform::plist::Dictionary updaterInfo = defaultUpdaterInfo();
    updaterInfo["UpdateBaseURL"] =
        "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/updates/";
    const TestApp app = makeTestApp(root.dir.path() / "Applications", defaultAppInfo(),
                                    defaultExtensionInfo(), updaterInfo);
    service = std::make_unique<bramlow::UpdateService>(platform::Bundle(app.updaterURL));
  }
};

}  // namespace

void fuzzing::fuzzOne(std::string_view input) {
  static const Fixture fixture;
  writeFile(fixture.service->cache / "release.json", input);
  // The build the client asks for: the document's own, when it names one, so that inputs get past
  // the build comparison and reach the checks behind it.
  std::string build = "120";
  tolerating<std::runtime_error>(
      [&] { build = platform::decodeString(platform::parseJson(input), "build"); });
  for (const char* action : {"download", "install"}) {
    // Every platform error is a runtime error.
    tolerating<bramlow::UpdateFailure, std::runtime_error>(
        [&] { fixture.service->performOperation(action, build, false); });
  }
}
