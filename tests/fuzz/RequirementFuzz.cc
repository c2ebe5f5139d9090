// Requirement texts carry the signing team from configuration: any text compiles or is refused
// with the requirement-syntax status, nothing else.
#include "platform/codesign/CodeSigning.h"
#include "tests/fuzz/Fuzz.h"

void fuzzing::fuzzOne(std::string_view input) {
  namespace codesign = platform::codesign;
  try {
    codesign::Requirement::compile(input);
  } catch (const codesign::CodeSigningError& error) {
    require(error.status() == codesign::Status::kRequirementSyntax);
  }
}
