#include "platform/Json.h"

#include <cmath>

namespace platform {

Json parseJson(std::string_view bytes, bool allowFragments) {
  Json value;
  try {
    value = Json::parse(bytes.begin(), bytes.end());
  } catch (const Json::exception& error) {
    throw JsonError(
        std::string("The data couldn't be read because it isn't in the correct format. ") +
        error.what());
  }
  if (!allowFragments && !value.is_object() && !value.is_array()) {
    throw JsonError(
        "JSON text did not start with array or object and option to allow fragments not set.");
  }
  return value;
}

const Json& decodeMember(const Json& object, const char* key) {
  if (!object.is_object()) throw DecodingError("Expected to decode a dictionary.");
  const auto it = object.find(key);
  if (it == object.end())
    throw DecodingError(std::string("No value associated with key \"") + key + "\".");
  if (it->is_null()) throw DecodingError(std::string("Value for key \"") + key + "\" is null.");
  return *it;
}

std::string decodeString(const Json& object, const char* key) {
  const Json& value = decodeMember(object, key);
  if (!value.is_string())
    throw DecodingError(std::string("Expected a string for key \"") + key + "\".");
  return value.get<std::string>();
}

std::int64_t decodeInt64(const Json& object, const char* key) {
  const Json& value = decodeMember(object, key);
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(u);
  } else if (value.is_number_float()) {
    const double d = value.get<double>();
    // 2^63 is the first double past the range; everything below it converts exactly.
    if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 &&
        d < 9223372036854775808.0) {
      return static_cast<std::int64_t>(d);
    }
  } else {
    throw DecodingError(std::string("Expected a number for key \"") + key + "\".");
  }
  throw DecodingError(std::string("Number for key \"") + key + "\" does not fit a 64-bit integer.");
}

}  // namespace platform
