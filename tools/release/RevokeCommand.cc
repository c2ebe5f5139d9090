#include <iostream>
#include <stdexcept>

#include "platform/codesign/CodeSigning.h"
#include "platform/env/Env.h"
#include "tools/release/Commands.h"

namespace bramlow::release {

int runRevoke(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1 || arguments.front().starts_with("-")) {
    std::cerr << "usage: bramlow-release revoke CERT.pem\n";
    return 2;
  }
  try {
    const std::string pem = platform::env().readFile(arguments.front());
    std::cout << platform::codesign::certificateSignedBodySha256(pem) << "\n";
  } catch (const std::exception& error) {
    std::cerr << "bramlow-release revoke: " << arguments.front() << ": " << error.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace bramlow::release
