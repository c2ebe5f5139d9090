// The request channel through real processes: a client talks to the real extension host, which
// starts the real updater on demand; both are the built executables, installed and signed. The
// release comes as publishers serve it: the publishing tool's folder on a static HTTPS server.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Fd.h"
#include "platform/Json.h"
#include "tests/e2e/InstalledProduct.h"
#include "tests/security/SigningTestSupport.h"
#include "tools/release/Identities.h"

namespace {
namespace fs = std::filesystem;
using namespace testing_support;
using platform::Json;
using platform::UniqueFd;
using Answers = std::vector<Json>;

constexpr const char* kNginx = "/usr/sbin/nginx";

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

// A port nobody listens on now; another program may still take it before nginx does.
int freePort() {
  const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("no free loopback port");
  }
  return ntohs(address.sin_port);
}

bool accepts(int port) {
  const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = loopback(port);
  return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// nginx serving `site` over HTTPS on a loopback port with the publishing tool's loopback
// certificate, as tests/e2e/nginx.conf sets it up.
class Nginx {
 public:
  explicit Nginx(const fs::path& site) {
    // A port taken between the probe and nginx's bind ends nginx at once: try another.
    for (int attempt = 0; attempt < 5 && !program_; ++attempt) {
      port_ = freePort();
      writeFile(folder_.path() / "nginx.conf", configuration(site));
      program_.emplace(std::vector<std::string>{kNginx, "-p", folder_.path().string() + "/", "-c",
                                                (folder_.path() / "nginx.conf").string(), "-e",
                                                (folder_.path() / "error.log").string()},
                       std::vector<std::string>{}, folder_.path() / "output.log");
      waitUntil(std::chrono::seconds(30),
                [this] { return !program_->running() || accepts(port_); });
      if (!program_->running()) program_.reset();
    }
    if (!program_) throw std::runtime_error("nginx did not start: " + errors());
  }

  std::string url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string errors() const { return logText("error.log"); }
  // How many requests for the path the access log holds.
  std::size_t requestCount(const std::string& path) const {
    std::size_t count = 0;
    const std::string request = "\"GET " + path + " ";
    const std::string log = logText("access.log");
    for (std::size_t at = 0; (at = log.find(request, at)) != std::string::npos; ++at) ++count;
    return count;
  }

 private:
  // The configuration template with this server's folders, port and certificate filled in.
  std::string configuration(const fs::path& site) const {
    std::string conf = readFile(BRAMLOW_NGINX_CONF);
    for (const auto& [name, value] :
         {std::pair<std::string, std::string>{"@FOLDER@", folder_.path().string()},
          {"@PORT@", std::to_string(port_)},
          {"@TLS@", identityFile(bramlow::release::kTlsServerFile).string()},
          {"@SITE@", site.string()}}) {
      for (std::size_t at; (at = conf.find(name)) != std::string::npos;) {
        conf.replace(at, name.size(), value);
      }
    }
    return conf;
  }

  std::string logText(const char* name) const {
    std::error_code ignored;
    return fs::exists(folder_.path() / name, ignored) ? readFile(folder_.path() / name) : "";
  }

  TempDir folder_;
  int port_ = 0;
  std::optional<BackgroundProgram> program_;
};

// The service's quiet period before it exits (5 s), and slack for a loaded machine.
constexpr std::chrono::seconds kIdleExit{30};
constexpr const char* kInfo = R"({"action":"info"})";
constexpr const char* kCheck = R"({"action":"check"})";

// The whole update as a browser drives it: release 2, made and checked by the publishing tool and
// served as it was written by an ordinary static HTTPS server, replaces the installed build 1
// through the real host and updater, leaving nothing beside it.
TEST(RequestChannel, TheWholeUpdateThroughTheHostAndUpdater) {
  if (!fs::exists(kNginx)) GTEST_SKIP() << "needs nginx (Debian's nginx-light) at " << kNginx;
  const TempDir site;
  const Nginx nginx(site.path());
  const std::string base = nginx.url("/updates/");
  const InstalledProduct product(base);
  product.packageRelease(base, site.path() / "updates");
  const Json checked = {{"version", "2"}, {"nativeVersion", "2.0.0"}, {"payloadVersion", "2.0.0"}};

  // The updater started on demand answers the second check from its cache.
  EXPECT_EQ(product.ask({kCheck, kCheck}), Answers(2, checked)) << nginx.errors();
  EXPECT_EQ(nginx.requestCount("/updates/latest.json"), 1u);
  ASSERT_EQ(product.updaterProcesses().size(), 1u);

  const std::string download = R"({"action":"download","build":"2"})";
  const std::string install = R"({"action":"install","build":"2"})";
  const Json installed = {{"version", "2"}, {"installed", true}};
  EXPECT_EQ(product.ask({download, install}), (Answers{Json{{"version", "2"}}, installed}));
  // The updater that replaced its own application ends with its clients, taking the old
  // application with it; the new host and a newly started updater answer next.
  ASSERT_TRUE(product.waitForUpdaterExit(kIdleExit));
  EXPECT_EQ(
      product.ask({kInfo, install}),
      (Answers{Json{{"supported", true}, {"build", "2"}, {"nativeVersion", "2.0.0"}}, installed}));
  for (const auto& entry : fs::directory_iterator(product.appURL().parent_path())) {
    EXPECT_EQ(entry.path(), product.appURL()) << "left beside the application";
  }
}

}  // namespace
