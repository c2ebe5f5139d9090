// Whether a piece of code belongs to the product: one code-signing requirement built from the
// signing team (and, where given, a signing identifier), checked against the process that sent a
// message or against code on disk. Stateless; every operation raises UpdateFailure.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/codesign/CodeSigning.h"
#include "platform/process/PeerIdentity.h"

namespace bramlow::UpdateSecurity {

// The Developer ID requirement for team, with an identifier clause first when one is given. Both
// values are inserted verbatim between double quotes.
std::string requirementText(const std::optional<std::string>& identifier, const std::string& team);

// Raises the signing-requirement marker when the text does not compile.
platform::codesign::Requirement compileRequirement(const std::string& text);

// Raises the connection marker unless the sender runs code that satisfies the requirement.
void verifyMessageSender(const platform::PeerIdentity& sender,
                         const std::optional<std::string>& identifier, const std::string& team);

// Raises the signature marker unless the bundle or disk image at `at` is strictly valid, nested
// code included, and satisfies the requirement.
void verifyCode(const std::filesystem::path& at, const std::optional<std::string>& identifier,
                const std::string& team);

}  // namespace bramlow::UpdateSecurity
