// JSON reading as the platform's parser and decoder do it: a parse error is a JsonError, a
// document that parses but does not have the shape a decoder asks for is a DecodingError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

using Json = nlohmann::json;

class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Arrays and objects nested deeper than this are refused while parsing: copying, comparing or
// printing a value recurses once per level, so an unbounded depth would overflow a stack.
inline constexpr std::size_t kMaximumJsonDepth = 128;

// Parses one JSON document (UTF-8, nothing but white space after it, at most kMaximumJsonDepth
// levels of arrays and objects). Without allowFragments the top level must be an object or an
// array. A number written with a fraction or an exponent is an integer when its digits make it
// exactly a whole number in the signed 64-bit range (2.0, 1e3), otherwise a double. Throws
// JsonError.
Json parseJson(std::string_view bytes, bool allowFragments = false);

// Strict decoding of members: no conversion between JSON types. Throw DecodingError.
const Json& decodeMember(const Json& object, const char* key);
std::string decodeString(const Json& object, const char* key);
// A whole number within the signed 64-bit range, judged by its text: 3.0 and 30e-1 read as 3;
// 3.5, 1e19, -9223372036854775809 and 1.0000000000000001 are refused.
std::int64_t decodeInt64(const Json& object, const char* key);

}  // namespace platform
