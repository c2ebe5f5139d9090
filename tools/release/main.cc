// bramlow-release: the publishing tool. One subcommand per job; their command lines are in
// docs/publishing.md and docs/code-signing.md.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "tools/release/Commands.h"

namespace {

struct Subcommand {
  const char* name;
  int (*run)(const std::vector<std::string>&);
  const char* usage;
};

constexpr Subcommand kSubcommands[] = {
    {"identities", bramlow::release::runIdentities, "identities --team TEAM --out DIR"},
    {"revoke", bramlow::release::runRevoke, "revoke CERT.pem"},
    {"serve", bramlow::release::runServe, "serve DIR --tls TLS.pem [--port N]"},
    {"package", bramlow::release::runPackage,
     "package --app APP --identity ID.pem --version V --build B --payload-version P "
     "--minimum-system M --base-url URL --out DIR"},
    {"check", bramlow::release::runCheck, "check DIR"},
};

int usage() {
  std::cerr << "usage:\n";
  for (const Subcommand& subcommand : kSubcommands) {
    std::cerr << "  bramlow-release " << subcommand.usage << "\n";
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  for (const Subcommand& subcommand : kSubcommands) {
    if (std::strcmp(argv[1], subcommand.name) == 0) {
      return subcommand.run(std::vector<std::string>(argv + 2, argv + argc));
    }
  }
  std::cerr << "bramlow-release: unknown command " << argv[1] << "\n";
  return usage();
}
