#include <gtest/gtest.h>

#include "platform/Json.h"

namespace {
using namespace platform;

TEST(JsonTest, FragmentsOnlyWhenAllowed) {
  EXPECT_THROW(parseJson("5"), JsonError);
  EXPECT_NO_THROW(parseJson("5", true));
  EXPECT_THROW(parseJson("{} trailing"), JsonError);
  EXPECT_THROW(parseJson(""), JsonError);
  EXPECT_THROW(parseJson("{\"a\": \"\xff\"}"), JsonError);  // not UTF-8
}

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

// Refused while parsing, before a deep value exists to be copied or printed by recursion.
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
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.ok) {
      EXPECT_NO_THROW(parseJson(row.text));
    } else {
      EXPECT_THROW(parseJson(row.text), JsonError);
    }
  }
}

TEST(JsonTest, Int64DecodingIsStrict) {
  struct Case {
    const char* json;
    bool ok;
    std::int64_t value;
  } cases[] = {
      {R"({"n": 1})", true, 1},
      {R"({"n": 9223372036854775807})", true, INT64_MAX},
      {R"({"n": -9223372036854775808})", true, INT64_MIN},
      {R"({"n": 9223372036854775808})", false, 0},
      {R"({"n": 2.0})", true, 2},
      {R"({"n": 9223372036854775807.0})", true, INT64_MAX},
      {R"({"n": -92233720368547758.08e2})", true, INT64_MIN},
      {R"({"n": 2.5})", false, 0},
      // Not whole or beyond the range, though the nearest double is a whole number in range.
      {R"({"n": -9223372036854775809})", false, 0},
      {R"({"n": -9223372036854775808.5})", false, 0},
      {R"({"n": 1.0000000000000001})", false, 0},
      {R"({"n": 1e19})", false, 0},
  };
  for (const auto& c : cases) {
    const Json document = parseJson(c.json);
    if (c.ok) {
      EXPECT_EQ(decodeInt64(document, "n"), c.value) << c.json;
    } else {
      EXPECT_THROW(decodeInt64(document, "n"), DecodingError) << c.json;
    }
  }
}

}  // namespace
