// Requirement texts carry the signing team from configuration: any text compiles or is refused
// with the requirement-syntax status, nothing else.
#include <cstdint>
#include <string_view>

#include "platform/CodeSigning.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    platform::codesign::Requirement::compile(
        std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const platform::codesign::CodeSigningError& error) {
    if (error.status() != platform::codesign::Status::kRequirementSyntax) __builtin_trap();
  }
  return 0;
}
