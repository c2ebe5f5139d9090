// The subcommands of bramlow-release. Each takes the arguments after its name, writes its own
// messages and returns the process's exit status (0 success, 1 failure, 2 usage).
#pragma once

#include <string>
#include <vector>

namespace bramlow::release {

// identities --team TEAM --out DIR
int runIdentities(const std::vector<std::string>& arguments);

// revoke CERT.pem: prints the revoked.txt line for the first certificate in the file.
int runRevoke(const std::vector<std::string>& arguments);

// serve DIR --tls TLS.pem [--port N]: serves DIR over HTTPS on 127.0.0.1 until SIGINT or SIGTERM,
// after printing its base address on the first line of stdout.
int runServe(const std::vector<std::string>& arguments);

// package --app APP --identity ID.pem --version V --build B --payload-version P
//   --minimum-system M --base-url URL --out DIR
int runPackage(const std::vector<std::string>& arguments);

// check DIR: exit 0 for a release folder the updater would accept, 1 with the reason otherwise.
int runCheck(const std::vector<std::string>& arguments);

}  // namespace bramlow::release
