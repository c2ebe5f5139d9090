#include "platform/formats/Json.h"

#include <optional>
#include <string>

namespace platform {
namespace {

// The value of a JSON number's text when it is exactly a whole number within the signed 64-bit
// range, worked out from the digits: a double cannot tell -9223372036854775809 or
// 1.0000000000000001 from a whole number in range. The text has passed the reader's grammar,
// which spells the decimal point as the locale does, so any other non-digit before the exponent
// is that point.
std::optional<std::int64_t> wholeNumberFromText(std::string_view text) {
  constexpr long long kExponentCap = 1000000000000LL;  // far beyond anything that could fit
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  std::string digits;
  long long exponent = 0;
  bool inFraction = false;
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      digits += text[i];
      if (inFraction) --exponent;
    } else {
      inFraction = true;
    }
  }
  if (i < text.size()) {
    ++i;  // 'e' or 'E'
    const bool exponentNegative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    long long written = 0;
    for (; i < text.size(); ++i) {
      if (written < kExponentCap) written = written * 10 + (text[i] - '0');
    }
    exponent += exponentNegative ? -written : written;
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  digits.erase(0, first);
  while (digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  // 19 digits hold every value of the range; the bound is checked exactly below.
  if (exponent < 0 || static_cast<long long>(digits.size()) + exponent > 19) return std::nullopt;
  digits.append(static_cast<std::size_t>(exponent), '0');
  std::uint64_t magnitude = 0;
  for (const char c : digits) magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
  constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(INT64_MAX);
  if (magnitude > kLimit + (negative ? 1 : 0)) return std::nullopt;
  if (!negative) return static_cast<std::int64_t>(magnitude);
  return magnitude == kLimit + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
}

// The reader's own document builder, except that a number written with a fraction or an
// exponent is stored as an integer when its text proves it whole and in range (2.0, 1e3), and
// that it stops at the first array or object beyond kMaximumJsonDepth. Every other such number
// stays a double, which no integer decoding accepts.
class DocumentBuilder : public nlohmann::detail::json_sax_dom_parser<Json> {
 public:
  using json_sax_dom_parser::json_sax_dom_parser;

  bool start_object(std::size_t length) {
    return deeper() && json_sax_dom_parser::start_object(length);
  }
  bool end_object() {
    --depth_;
    return json_sax_dom_parser::end_object();
  }
  bool start_array(std::size_t length) {
    return deeper() && json_sax_dom_parser::start_array(length);
  }
  bool end_array() {
    --depth_;
    return json_sax_dom_parser::end_array();
  }

  bool number_float(number_float_t value, const string_t& text) {
    if (const std::optional<std::int64_t> whole = wholeNumberFromText(text)) {
      if (*whole < 0) return number_integer(*whole);
      return number_unsigned(static_cast<std::uint64_t>(*whole));
    }
    return json_sax_dom_parser::number_float(value, text);
  }

  bool tooDeep() const { return tooDeep_; }

 private:
  bool deeper() {
    tooDeep_ = ++depth_ > kMaximumJsonDepth;
    return !tooDeep_;
  }

  std::size_t depth_ = 0;
  bool tooDeep_ = false;
};

}  // namespace

Json parseJson(std::string_view bytes, bool allowFragments) {
  Json value;
  try {
    DocumentBuilder builder(value);
    if (!Json::sax_parse(bytes.begin(), bytes.end(), &builder)) {
      throw JsonError(builder.tooDeep()
                          ? "The data couldn't be read because it is nested more than " +
                                std::to_string(kMaximumJsonDepth) + " levels deep."
                          : std::string("The data couldn't be read."));
    }
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
  // The reader keeps every number that is exactly a whole 64-bit value as an integer; what is
  // left as a double is not one, whatever its nearest double is.
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(u);
  } else if (value.is_number_integer()) {
    return value.get<std::int64_t>();
  } else if (!value.is_number_float()) {
    throw DecodingError(std::string("Expected a number for key \"") + key + "\".");
  }
  throw DecodingError(std::string("Number for key \"") + key + "\" does not fit a 64-bit integer.");
}

}  // namespace platform
