#include <iostream>
#include <stdexcept>

#include "tools/release/Commands.h"
#include "tools/release/Identities.h"

namespace bramlow::release {

int runIdentities(const std::vector<std::string>& arguments) {
  std::string team;
  std::string out;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if ((option == "--team" || option == "--out") && i + 1 < arguments.size()) {
      (option == "--team" ? team : out) = arguments[++i];
    } else {
      std::cerr << "bramlow-release identities: unexpected argument " << option << "\n";
      return 2;
    }
  }
  if (team.empty() || out.empty()) {
    std::cerr << "usage: bramlow-release identities --team TEAM --out DIR\n";
    return 2;
  }
  try {
    writeTestIdentities(team, out);
  } catch (const std::exception& error) {
    std::cerr << "bramlow-release identities: " << error.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace bramlow::release
