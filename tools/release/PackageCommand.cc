// package and check: publishing a release folder and checking one.
#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tools/release/Commands.h"
#include "tools/release/Package.h"

namespace bramlow::release {

int runPackage(const std::vector<std::string>& arguments) {
  std::map<std::string, std::string> values;
  for (std::size_t i = 0; i + 1 < arguments.size(); i += 2) values[arguments[i]] = arguments[i + 1];
  const char* const names[] = {
      "--app",      "--identity", "--version", "--build", "--payload-version", "--minimum-system",
      "--base-url", "--out"};
  bool complete = arguments.size() % 2 == 0 && values.size() * 2 == arguments.size();
  for (const char* name : names) complete = complete && values.count(name) == 1;
  if (!complete || values.size() != std::size(names)) {
    std::cerr << "usage: bramlow-release package --app APP --identity ID.pem --version V --build B "
                 "--payload-version P --minimum-system M --base-url URL --out DIR\n";
    return 2;
  }
  try {
    package({values["--app"], values["--identity"], values["--version"], values["--build"],
             values["--payload-version"], values["--minimum-system"], values["--base-url"],
             values["--out"]});
  } catch (const std::exception& error) {
    std::cerr << "bramlow-release package: " << error.what() << "\n";
    return 1;
  }
  return 0;
}

int runCheck(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1) {
    std::cerr << "usage: bramlow-release check DIR\n";
    return 2;
  }
  try {
    checkRelease(arguments[0]);
  } catch (const std::exception& error) {
    std::cerr << "bramlow-release check: " << error.what() << "\n";
    return 1;
  }
  std::cout << arguments[0] << ": valid\n";
  return 0;
}

}  // namespace bramlow::release
