// The requirement text the product builds, and what the requirement language accepts.
#include <gtest/gtest.h>

#include <string>

#include "platform/CodeSigning.h"
#include "shared/UpdateSecurity.h"

namespace {
namespace codesign = platform::codesign;
namespace UpdateSecurity = bramlow::UpdateSecurity;

constexpr const char* kDeveloperIdTail =
    " and certificate 1[field.1.2.840.113635.100.6.2.6] exists and certificate "
    "leaf[field.1.2.840.113635.100.6.1.13] exists";

TEST(RequirementText, PiecesInOrder) {
  struct Row {
    const char* name;
    std::optional<std::string> identifier;
    std::string team;
    std::string expected;
  };
  const std::string anchor = "anchor apple generic and certificate leaf[subject.OU] = ";
  const Row rows[] = {
      {"no identifier", std::nullopt, "TEAM1", anchor + "\"TEAM1\"" + kDeveloperIdTail},
      {"identifier", "com.example.app", "TEAM1",
       "identifier \"com.example.app\" and " + anchor + "\"TEAM1\"" + kDeveloperIdTail},
      {"values verbatim, spaces kept", " id ", " T\"X ",
       "identifier \" id \" and " + anchor + "\" T\"X \"" + kDeveloperIdTail},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(UpdateSecurity::requirementText(row.identifier, row.team), row.expected) << row.name;
  }
}

TEST(RequirementCompile, AcceptsTheSubsetAndNothingElse) {
  struct Row {
    const char* name;
    std::string text;
    bool compiles;
  };
  const Row rows[] = {
      {"product requirement", UpdateSecurity::requirementText("com.example.app", "TEAM1"), true},
      {"line breaks and tabs", "anchor\napple\tgeneric and\r\nidentifier \"x\"", true},
      {"quote in the team", UpdateSecurity::requirementText(std::nullopt, "TE\"AM"), false},
      {"unterminated string", "identifier \"abc", false},
      {"trailing and", "anchor apple generic and", false},
      {"or is not part of the language", "identifier \"a\" or identifier \"b\"", false},
      {"parentheses are not part of it", "(anchor apple generic)", false},
      {"other anchor", "anchor trusted", false},
      {"unquoted identifier", "identifier com.example", false},
      {"value for an extension", "certificate leaf[field.1.2.3] = \"x\"", false},
      {"empty arc in oid", "certificate leaf[field.1..2] exists", false},
      {"unknown subject field", "certificate leaf[subject.XX] = \"x\"", false},
      {"index too large", "certificate 999[subject.CN] exists", false},
      {"missing operator", "certificate leaf[subject.CN] \"x\"", false},
      {"NUL inside a string", std::string("identifier \"a\0b\"", 16), false},
      {"stray character", "identifier \"a\" and anchor apple generic;", false},
  };
  for (const Row& row : rows) {
    try {
      codesign::Requirement::compile(row.text);
      EXPECT_TRUE(row.compiles) << row.name;
    } catch (const codesign::CodeSigningError& error) {
      EXPECT_FALSE(row.compiles) << row.name;
      EXPECT_EQ(error.status(), codesign::Status::kRequirementSyntax) << row.name;
    }
  }
}

}  // namespace
