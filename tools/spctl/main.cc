// spctl: the system's assessment of code about to run or a disk image about to be opened.
//   spctl --assess --type execute APP
//   spctl --assess --type open --context context:primary-signature IMAGE
// Accepted: a valid Developer ID signature of any team (trust anchor, both Developer ID markers;
// an application strictly, with its nested code) whose leaf certificate is not listed in
// <platform root>/System/Library/Security/revoked.txt (one SHA-256 a line: of the leaf's signed
// body, as bramlow-release revoke prints it, or of its whole DER).
// Exit status: 0 accepted; 3 rejected, with "PATH: rejected" on stderr; 2 wrong usage.
#include <algorithm>
#include <cctype>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/codesign/CodeSigning.h"
#include "platform/env/Env.h"

namespace {
namespace codesign = platform::codesign;

constexpr const char* kDeveloperIdRequirement =
    "anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13] exists";

int usage() {
  std::cerr << "usage: spctl --assess --type execute PATH\n"
               "       spctl --assess --type open --context context:primary-signature PATH\n";
  return 2;
}

// The revoked leaves' digests, normalised to lower-case hex without separators. A list that
// exists but cannot be read, or holds a line that is not one SHA-256 digest (colons and spaces
// allowed, "#" starts a comment), revokes everything: the assessment fails closed.
std::optional<std::vector<std::string>> revokedFingerprints() {
  const auto path = codesign::revokedCertificatesPath();
  if (!platform::env().status(path).exists) return std::vector<std::string>();
  std::string text;
  try {
    text = platform::env().readFile(path);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  std::vector<std::string> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::string fingerprint;
    for (char c : line) {
      const auto u = static_cast<unsigned char>(c);
      if (c == '#') break;
      if (std::isxdigit(u)) {
        fingerprint.push_back(static_cast<char>(std::tolower(u)));
      } else if (c != ':' && !std::isspace(u)) {
        return std::nullopt;
      }
    }
    if (fingerprint.empty()) continue;
    if (fingerprint.size() != 64) return std::nullopt;
    out.push_back(fingerprint);
  }
  return out;
}

bool accepted(const std::string& type, const std::string& path) {
  const codesign::StaticCode code = codesign::StaticCode::createWithPath(path);
  if (code.isBundle() != (type == "execute")) return false;
  const codesign::Requirement requirement = codesign::Requirement::compile(kDeveloperIdRequirement);
  // The leaf of the signature validated here, not of whatever signature the path holds next.
  const codesign::SigningInformation info = code.checkValidity(
      codesign::kCheckAllArchitectures | codesign::kCheckNestedCode | codesign::kStrictValidate,
      &requirement);
  // The signed body names the leaf in every encoding; the whole DER is what older lists hold.
  const auto revoked = revokedFingerprints();
  auto listed = [&](const std::string& digest) {
    return digest.empty() || std::find(revoked->begin(), revoked->end(), digest) != revoked->end();
  };
  return revoked && !listed(info.leafSha256) && !listed(info.leafSignedBodySha256);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  bool assess = false;
  bool verbose = false;
  std::string type;
  std::string context;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (argument == "--assess" || argument == "-a") {
      assess = true;
    } else if ((argument == "--type" || argument == "-t") && hasValue) {
      type = arguments[++i];
    } else if (argument == "--context" && hasValue) {
      context = arguments[++i];
    } else if (argument == "--verbose" || argument == "-v") {
      verbose = true;
    } else if (argument.starts_with("-")) {
      return usage();
    } else {
      paths.push_back(argument);
    }
  }
  const bool executeForm = type == "execute" && context.empty();
  const bool openForm = type == "open" && context == "context:primary-signature";
  if (!assess || paths.size() != 1 || !(executeForm || openForm)) return usage();
  const std::string& path = paths.front();
  bool ok = false;
  std::string reason;
  try {
    ok = accepted(type, path);
  } catch (const std::exception& error) {
    reason = error.what();
  }
  if (!ok) {
    std::cerr << path << ": rejected\n";
    if (verbose && !reason.empty()) std::cerr << reason << "\n";
    return 3;
  }
  if (verbose) std::cerr << path << ": accepted\n";
  return 0;
}
