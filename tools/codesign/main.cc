// codesign: signs code, checks it strictly with its nested code, and shows who signed it.
//   codesign --sign IDENTITY.pem [--identifier ID] PATH
//   codesign --verify [-R REQUIREMENT] PATH
//   codesign --display PATH
// Exit status: 0 success, 1 failure (the reason on stderr), 2 wrong usage.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/codesign/CodeSigning.h"

namespace {
namespace codesign = platform::codesign;

int usage() {
  std::cerr << "usage: codesign --sign IDENTITY.pem [--identifier ID] PATH\n"
               "       codesign --verify [-R REQUIREMENT] PATH\n"
               "       codesign --display PATH\n";
  return 2;
}

int sign(const std::string& identityPath, const std::optional<std::string>& identifier,
         const std::string& path) {
  const codesign::SigningIdentity identity = codesign::SigningIdentity::load(identityPath);
  codesign::sign(path, identity, identifier);
  return 0;
}

int verify(const std::optional<std::string>& requirementText, const std::string& path) {
  const codesign::StaticCode code = codesign::StaticCode::createWithPath(path);
  std::optional<codesign::Requirement> requirement;
  if (requirementText) requirement = codesign::Requirement::compile(*requirementText);
  code.checkValidity(
      codesign::kCheckAllArchitectures | codesign::kCheckNestedCode | codesign::kStrictValidate,
      requirement ? &*requirement : nullptr);
  return 0;
}

int display(const std::string& path) {
  const codesign::SigningInformation info =
      codesign::StaticCode::createWithPath(path).signingInformation();
  std::cout << "Identifier=" << info.identifier << "\n";
  std::cout << "TeamIdentifier=" << (info.team ? *info.team : std::string("not set")) << "\n";
  for (const std::string& authority : info.authorities)
    std::cout << "Authority=" << authority << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string mode;
  std::string identityPath;
  std::optional<std::string> identifier;
  std::optional<std::string> requirement;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (argument == "--sign" && hasValue && mode.empty()) {
      mode = "sign";
      identityPath = arguments[++i];
    } else if ((argument == "--verify" || argument == "--display") && mode.empty()) {
      mode = argument.substr(2);
    } else if (argument == "--identifier" && hasValue) {
      identifier = arguments[++i];
    } else if (argument == "-R" && hasValue) {
      requirement = arguments[++i];
    } else if (argument.starts_with("-") && argument != "-") {
      return usage();
    } else {
      paths.push_back(argument);
    }
  }
  if (mode.empty() || paths.size() != 1 || (identifier && mode != "sign") ||
      (requirement && mode != "verify")) {
    return usage();
  }
  const std::string& path = paths.front();
  try {
    if (mode == "sign") return sign(identityPath, identifier, path);
    if (mode == "verify") return verify(requirement, path);
    return display(path);
  } catch (const std::exception& error) {
    std::cerr << path << ": " << error.what() << "\n";
    return 1;
  }
}
