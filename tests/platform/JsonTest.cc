#include <gtest/gtest.h>

#include <optional>

#include "platform/Json.h"

namespace {
using namespace platform;

TEST(JsonTest, FragmentsOnlyWhenAllowed) {
  EXPECT_THROW(parseJson("5"), JsonError);
  EXPECT_THROW(parseJson("\"text\""), JsonError);
  EXPECT_NO_THROW(parseJson("5", true));
  EXPECT_NO_THROW(parseJson("[]"));
  EXPECT_THROW(parseJson("{} trailing"), JsonError);
  EXPECT_THROW(parseJson(""), JsonError);
  EXPECT_THROW(parseJson("{\"a\": \"\xff\"}"), JsonError);  // not UTF-8
}

TEST(JsonTest, Int64DecodingIsStrict) {
  const struct {
    const char* json;
    std::optional<std::int64_t> expected;  // none: refused
  } cases[] = {
      {R"({"n": 1})", 1},
      {R"({"n": -1})", -1},
      {R"({"n": 9223372036854775807})", INT64_MAX},
      {R"({"n": -9223372036854775808})", INT64_MIN},
      {R"({"n": 9223372036854775808})", std::nullopt},
      {R"({"n": 18446744073709551616})", std::nullopt},
      {R"({"n": 2.0})", 2},
      {R"({"n": 1e3})", 1000},
      {R"({"n": 150e-1})", 15},
      {R"({"n": -0.0})", 0},
      {R"({"n": 9223372036854775807.0})", INT64_MAX},
      {R"({"n": -92233720368547758.08e2})", INT64_MIN},
      {R"({"n": 2.5})", std::nullopt},
      {R"({"n": 15e-1})", std::nullopt},
      {R"({"n": 1e19})", std::nullopt},
      // Beyond the range or not whole, though the nearest double is a whole number in range.
      {R"({"n": -9223372036854775809})", std::nullopt},
      {R"({"n": -9223372036854775808.5})", std::nullopt},
      {R"({"n": 1.0000000000000001})", std::nullopt},
      {R"({"n": "1"})", std::nullopt},
      {R"({"n": true})", std::nullopt},
      {R"({"n": null})", std::nullopt},
      {R"({})", std::nullopt},
  };
  for (const auto& c : cases) {
    std::optional<std::int64_t> decoded;
    try {
      decoded = decodeInt64(parseJson(c.json), "n");
    } catch (const DecodingError&) {
    }
    EXPECT_EQ(decoded, c.expected) << c.json;
  }
}

TEST(JsonTest, StringDecodingRefusesOtherTypes) {
  EXPECT_EQ(decodeString(parseJson(R"({"s": ""})"), "s"), "");
  EXPECT_THROW(decodeString(parseJson(R"({"s": 5})"), "s"), DecodingError);
  EXPECT_THROW(decodeString(parseJson(R"(["s"])"), "s"), DecodingError);
}

}  // namespace
