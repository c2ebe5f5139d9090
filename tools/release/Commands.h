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

}  // namespace bramlow::release
