#include "shared/UpdateSecurity.h"

#include "shared/UpdateFailure.h"

namespace bramlow::UpdateSecurity {
namespace codesign = platform::codesign;

std::string requirementText(const std::optional<std::string>& identifier, const std::string& team) {
  std::string text;
  if (identifier) {
    text += "identifier ";
    text += '"';
    text += *identifier;
    text += '"';
    text += " and ";
  }
  text += "anchor apple generic and certificate leaf[subject.OU] = ";
  text += '"';
  text += team;
  text += '"';
  text +=
      " and certificate 1[field.1.2.840.113635.100.6.2.6] exists and certificate "
      "leaf[field.1.2.840.113635.100.6.1.13] exists";
  return text;
}

codesign::Requirement compileRequirement(const std::string& text) {
  try {
    return codesign::Requirement::compile(text, codesign::kDefaultFlags);
  } catch (const std::exception&) {
    fail(markers::kSigningRequirementInvalid);
  }
}

// The code object comes first, so a sender or path that cannot be examined reports that even when
// the requirement text is broken as well.

void verifyMessageSender(const platform::PeerIdentity& sender,
                         const std::optional<std::string>& identifier, const std::string& team) {
  std::optional<codesign::Code> code;
  try {
    code.emplace(codesign::Code::createWithPeer(sender, codesign::kDefaultFlags));
  } catch (const std::exception&) {
    fail(markers::kConnectionNotAuthenticated);
  }
  const codesign::Requirement requirement = compileRequirement(requirementText(identifier, team));
  try {
    code->checkValidity(codesign::kDefaultFlags, &requirement);
  } catch (const std::exception&) {
    fail(markers::kConnectionNotAuthenticated);
  }
}

void verifyCode(const std::filesystem::path& at, const std::optional<std::string>& identifier,
                const std::string& team) {
  std::optional<codesign::StaticCode> code;
  try {
    code.emplace(codesign::StaticCode::createWithPath(at, codesign::kDefaultFlags));
  } catch (const std::exception&) {
    fail(markers::kInvalidSignature);
  }
  const codesign::Requirement requirement = compileRequirement(requirementText(identifier, team));
  try {
    code->checkValidity(
        codesign::kCheckAllArchitectures | codesign::kCheckNestedCode | codesign::kStrictValidate,
        &requirement);
  } catch (const std::exception&) {
    fail(markers::kInvalidSignature);
  }
}

}  // namespace bramlow::UpdateSecurity
