#include <gtest/gtest.h>

#include <optional>

#include "platform/formats/Json.h"

namespace {
using namespace platform;

// depth levels, arrays and objects taking turns.
std::string nested(std::size_t depth, const char* innermost = "1") {
  std::string open;
  std::string close;
  for (std::size_t i = 0; i < depth; ++i) {
    open += i % 2 ? "{\"a\":" : "[";
    close.insert(0, i % 2 ? "}" : "]");
  }
  return open + innermost + close;
}

// Deep nesting is refused while parsing, before a deep value exists to be copied or printed by
// recursion; so are fragments (unless allowed), trailing text and what is not UTF-8.
TEST(JsonTest, NestingIsBoundedWhileParsing) {
  const struct {
    const char* name;
    std::string text;
    bool ok;
  } rows[] = {
      {"at the bound", nested(kMaximumJsonDepth), true},
      {"one beyond", nested(kMaximumJsonDepth + 1), false},
      {"siblings each at the bound",
       "[" + nested(kMaximumJsonDepth - 1) + "," + nested(kMaximumJsonDepth - 1) + "]", true},
      {"a frame of 400 KB", std::string(200000, '[') + std::string(200000, ']'), false},
      {"a fragment", "5", false},
      {"trailing text", "{} trailing", false},
      {"empty", "", false},
      {"not UTF-8", "{\"a\": \"\xff\"}", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.ok) {
      EXPECT_NO_THROW(parseJson(row.text));
    } else {
      EXPECT_THROW(parseJson(row.text), JsonError);
    }
  }
  EXPECT_NO_THROW(parseJson("5", true));
}

TEST(JsonTest, Int64DecodingIsStrict) {
  const std::pair<const char*, std::optional<std::int64_t>> rows[] = {
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"2.0", 2},
      {"9223372036854775807.0", INT64_MAX},
      {"-92233720368547758.08e2", INT64_MIN},
      // Not whole or beyond the range, though the nearest double is a whole number in range.
      {"-9223372036854775809", std::nullopt},
      {"-9223372036854775808.5", std::nullopt},
      {"1.0000000000000001", std::nullopt},
      {"1e19", std::nullopt},
  };
  for (const auto& [number, value] : rows) {
    const Json document = parseJson(std::string("{\"n\": ") + number + "}");
    if (value) {
      EXPECT_EQ(decodeInt64(document, "n"), *value) << number;
    } else {
      EXPECT_THROW(decodeInt64(document, "n"), DecodingError) << number;
    }
  }
}

}  // namespace
