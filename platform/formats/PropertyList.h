// Property lists (XML and binary) as one typed value. libplist reports a parse failure only as a
// null result and keeps a single integer type, so the value type here is our own.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::plist {

struct Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;

// Seconds since 2001-01-01 00:00:00 UTC, the property-list epoch.
struct Date {
  double secondsSinceReferenceDate = 0;
  bool operator==(const Date&) const = default;
};
struct Data {
  std::string bytes;
  bool operator==(const Data&) const = default;
};

struct Value {
  std::variant<std::string, bool, std::int64_t, double, Date, Data, Array, Dictionary> v;

  Value() : v(std::string()) {}
  Value(std::string s) : v(std::move(s)) {}          // NOLINT(google-explicit-constructor)
  Value(const char* s) : v(std::string(s)) {}        // NOLINT(google-explicit-constructor)
  Value(bool b) : v(b) {}                            // NOLINT(google-explicit-constructor)
  Value(std::int64_t i) : v(i) {}                    // NOLINT(google-explicit-constructor)
  Value(int i) : v(static_cast<std::int64_t>(i)) {}  // NOLINT(google-explicit-constructor)
  Value(double d) : v(d) {}                          // NOLINT(google-explicit-constructor)
  Value(Date d) : v(d) {}                            // NOLINT(google-explicit-constructor)
  Value(Data d) : v(std::move(d)) {}                 // NOLINT(google-explicit-constructor)
  Value(Array a) : v(std::move(a)) {}                // NOLINT(google-explicit-constructor)
  Value(Dictionary d) : v(std::move(d)) {}           // NOLINT(google-explicit-constructor)

  // The string when the value is one, else nullptr: callers that require a string treat every
  // other type as absent.
  const std::string* string() const { return std::get_if<std::string>(&v); }
  const Dictionary* dictionary() const { return std::get_if<Dictionary>(&v); }
  const Array* array() const { return std::get_if<Array>(&v); }
  bool operator==(const Value&) const = default;
};

// A byte sequence that is not a property list of any supported format.
class PropertyListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses XML or binary property-list bytes. Throws PropertyListError.
Value parse(std::string_view bytes);

enum class Format { kXml, kBinary };
// Throws PropertyListError for a date more than 2^31 seconds from the epoch, which neither format
// is written with here.
std::string serialize(const Value& value, Format format = Format::kXml);

// The string under key of a dictionary, or nullptr when absent or not a string.
const std::string* stringForKey(const Dictionary& dictionary, const std::string& key);

}  // namespace platform::plist
