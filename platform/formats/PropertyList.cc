#include "platform/formats/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace platform::plist {
namespace {

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using UniquePlist = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
  void operator()(char* p) const { std::free(p); }  // NOLINT(cppcoreguidelines-no-malloc)
};
using UniqueMallocString = std::unique_ptr<char, MallocDeleter>;

// libplist refuses deeper structures than this only by running out of stack; real Info.plist
// files are a handful of levels deep.
constexpr int kMaxDepth = 64;

Value fromNode(plist_t node, int depth) {
  if (depth > kMaxDepth) throw PropertyListError("property list nested too deeply");
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // One integer type underneath: negative numbers come back as their two's complement.
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING: {
      // Read with its length: the reader's own accessor asserts (and aborts) on a NUL inside.
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      if (text && std::memchr(text, '\0', length) != nullptr) {
        throw PropertyListError("property list text holds a NUL");
      }
      return Value(text ? std::string(text, length) : std::string());
    }
    case PLIST_KEY: {
      char* raw = nullptr;
      plist_get_key_val(node, &raw);
      UniqueMallocString s(raw);
      return Value(std::string(s ? s.get() : ""));
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &raw, &length);
      UniqueMallocString s(raw);
      return Value(Data{std::string(s.get(), s ? length : 0)});
    }
    case PLIST_DATE: {
      int32_t sec = 0;
      int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value(Date{static_cast<double>(sec) + static_cast<double>(usec) / 1e6});
    }
    case PLIST_ARRAY: {
      Array array;
      const uint32_t n = plist_array_get_size(node);
      array.reserve(n);
      for (uint32_t i = 0; i < n; ++i)
        array.push_back(fromNode(plist_array_get_item(node, i), depth + 1));
      return Value(std::move(array));
    }
    case PLIST_DICT: {
      Dictionary dictionary;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      struct IterFree {
        void* it;
        ~IterFree() { std::free(it); }  // NOLINT(cppcoreguidelines-no-malloc)
      } iterGuard{it};
      for (;;) {
        char* rawKey = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &rawKey, &item);
        if (item == nullptr) {
          std::free(rawKey);  // NOLINT(cppcoreguidelines-no-malloc)
          break;
        }
        UniqueMallocString key(rawKey);
        dictionary.insert_or_assign(std::string(key ? key.get() : ""), fromNode(item, depth + 1));
      }
      return Value(std::move(dictionary));
    }
    default:
      throw PropertyListError("property list holds a value of an unsupported type");
  }
}

// libplist builds and frees its trees recursively (and reads deep binary chains in quadratic
// time), so a list nested about a hundred thousand levels deep exhausts the stack inside it before
// fromNode could refuse it; and its accessors of keys and texts assert that a text holds no NUL,
// aborting the process when one does. Info.plist files come from bundles that nothing has vouched
// for yet, so the nesting is measured, and text with a NUL refused, on the bytes first.

// XML: every element that is opened and not closed at once is one level, whatever its name
// (overcounting leaf elements only refuses sooner). Comments, character data, processing
// instructions and the document type are skipped as the reader skips them. A tag with a
// single quote or an odd number of double quotes could hide a '>' from this count but not from
// the reader, so it is refused.
bool xmlNestedDeeperThan(std::string_view bytes, int limit) {
  if (bytes.find('\0') != std::string_view::npos) {
    throw PropertyListError("property list text holds a NUL");
  }
  const auto skipTo = [&](std::size_t from, std::string_view end) {
    const std::size_t at = bytes.find(end, from);
    if (at == std::string_view::npos) throw PropertyListError("unterminated markup");
    return at + end.size();
  };
  int depth = 0;
  std::size_t at = 0;
  while ((at = bytes.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = bytes.substr(at);
    if (rest.starts_with("<!--")) {
      at = skipTo(at + 4, "-->");
    } else if (rest.starts_with("<![CDATA[")) {
      at = skipTo(at + 9, "]]>");
    } else if (rest.starts_with("<?")) {
      at = skipTo(at + 2, "?>");
    } else if (rest.starts_with("<!")) {
      at = skipTo(at + 2, ">");
    } else {
      const std::size_t end = skipTo(at + 1, ">");
      const std::string_view tag = bytes.substr(at + 1, end - at - 2);
      if (tag.find('\'') != std::string_view::npos ||
          std::count(tag.begin(), tag.end(), '"') % 2 != 0) {
        throw PropertyListError("unexpected quotes in a tag");
      }
      if (tag.starts_with('/')) {
        if (--depth < 0) throw PropertyListError("unbalanced tags");
      } else if (!tag.ends_with('/') && ++depth > limit) {
        return true;
      }
      at = end;
    }
  }
  return false;
}

// Binary: the trailer locates each object; a container holds the numbers of its members, and
// members may be shared, so that a few bytes can stand for a tree of billions of values. The
// levels below the top object are followed one at a time, each as its objects with the number of
// paths that reach them: a cycle or a chain longer than the limit ends the walk after limit
// levels, and a tree of more than kMaximumBinaryValues values is refused as too large before
// more of it is read.
constexpr std::uint64_t kMaximumBinaryValues = 1 << 20;

bool binaryNestedDeeperThan(std::string_view bytes, int limit) {
  constexpr std::size_t kTrailer = 32;
  if (bytes.size() < 8 + kTrailer) return false;  // the reader refuses it
  const auto damaged = [] { return PropertyListError("damaged binary property list"); };
  const auto nulCharacter = [] { return PropertyListError("property list text holds a NUL"); };
  const auto number = [&](std::uint64_t at, std::uint64_t width) {
    if (width == 0 || width > 8 || at > bytes.size() || bytes.size() - at < width) throw damaged();
    std::uint64_t value = 0;
    for (std::uint64_t i = 0; i < width; ++i)
      value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
  };
  const std::size_t trailer = bytes.size() - kTrailer;
  const std::uint64_t offsetSize = number(trailer + 6, 1);
  const std::uint64_t referenceSize = number(trailer + 7, 1);
  const std::uint64_t objects = number(trailer + 8, 8);
  const std::uint64_t top = number(trailer + 16, 8);
  const std::uint64_t table = number(trailer + 24, 8);
  if (offsetSize == 0 || objects == 0 || top >= objects || table > trailer ||
      objects > (trailer - table) / offsetSize) {
    return false;  // the reader refuses it
  }
  using Paths = std::pair<std::uint64_t, std::uint64_t>;  // object, paths that reach it
  std::vector<Paths> level{{top, 1}};
  std::uint64_t values = 1;
  for (int depth = 0; !level.empty(); ++depth) {
    if (depth > limit) return true;
    std::vector<Paths> next;
    for (const auto& [object, paths] : level) {
      const std::uint64_t offset = number(table + object * offsetSize, offsetSize);
      const std::uint64_t marker = number(offset, 1);
      const std::uint64_t kind = marker >> 4;
      std::uint64_t count = marker & 0xF;
      std::uint64_t members = offset + 1;
      if (count == 0xF) {  // the count follows as an integer object
        const std::uint64_t integer = number(members, 1);
        if ((integer >> 4) != 0x1) throw damaged();
        const std::uint64_t width = std::uint64_t{1} << (integer & 0xF);
        count = number(members + 1, width);
        members += 1 + width;
      }
      if (count > bytes.size()) throw damaged();
      if (kind == 0x5 || kind == 0x6) {  // ASCII or UTF-16 text, a key's or a value's
        const std::uint64_t length = kind == 0x5 ? count : 2 * count;
        if (length > bytes.size() - members) throw damaged();
        const std::string_view text = bytes.substr(members, length);
        for (std::size_t i = 0; i < text.size(); i += kind == 0x5 ? 1 : 2) {
          if (text[i] == '\0' && (kind == 0x5 || text[i + 1] == '\0')) throw nulCharacter();
        }
      }
      if (kind != 0xA && kind != 0xC && kind != 0xD) continue;  // not a container
      if (kind == 0xD) count *= 2;                              // keys, then values
      if (count * referenceSize > bytes.size() - members) throw damaged();
      if (count > 0 && (paths > kMaximumBinaryValues / count ||
                        (values += count * paths) > kMaximumBinaryValues)) {
        throw PropertyListError("property list too large");
      }
      for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t member = number(members + i * referenceSize, referenceSize);
        if (member >= objects) throw damaged();
        next.emplace_back(member, paths);
      }
    }
    std::sort(next.begin(), next.end());
    level.clear();
    for (const auto& [object, paths] : next) {
      if (!level.empty() && level.back().first == object) {
        level.back().second += paths;
      } else {
        level.emplace_back(object, paths);
      }
    }
  }
  return false;
}

plist_t toNode(const Value& value) {
  struct Visitor {
    plist_t operator()(const std::string& s) const { return plist_new_string(s.c_str()); }
    plist_t operator()(bool b) const { return plist_new_bool(b ? 1 : 0); }
    plist_t operator()(std::int64_t i) const { return plist_new_uint(static_cast<uint64_t>(i)); }
    plist_t operator()(double d) const { return plist_new_real(d); }
    plist_t operator()(const Date& d) const {
      // The writer takes whole seconds as a 32-bit number; a date it cannot hold (a list read
      // back may carry one) is refused rather than converted into an undefined value.
      const double seconds = std::trunc(d.secondsSinceReferenceDate);
      if (!(seconds >= INT32_MIN && seconds <= INT32_MAX)) {
        throw PropertyListError("property list date out of range");
      }
      const auto usec = static_cast<int32_t>((d.secondsSinceReferenceDate - seconds) * 1e6);
      return plist_new_date(static_cast<int32_t>(seconds), usec);
    }
    plist_t operator()(const Data& d) const {
      return plist_new_data(d.bytes.data(), d.bytes.size());
    }
    // Owned until returned, so that a member that cannot be written frees what was built.
    plist_t operator()(const Array& a) const {
      UniquePlist node(plist_new_array());
      for (const auto& item : a) plist_array_append_item(node.get(), toNode(item));
      return node.release();
    }
    plist_t operator()(const Dictionary& d) const {
      UniquePlist node(plist_new_dict());
      for (const auto& [key, item] : d) plist_dict_set_item(node.get(), key.c_str(), toNode(item));
      return node.release();
    }
  };
  return std::visit(Visitor{}, value.v);
}

}  // namespace

Value parse(std::string_view bytes) {
  if (bytes.empty()) throw PropertyListError("empty property list");
  if (bytes.size() > UINT32_MAX) throw PropertyListError("property list too large");
  const bool binary = bytes.starts_with("bplist00");
  if (binary ? binaryNestedDeeperThan(bytes, kMaxDepth)
             : xmlNestedDeeperThan(bytes, kMaxDepth + 2)) {
    throw PropertyListError("property list nested too deeply");
  }
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  if (raw == nullptr) throw PropertyListError("data is not a property list");
  UniquePlist root(raw);
  return fromNode(root.get(), 0);
}

std::string serialize(const Value& value, Format format) {
  UniquePlist root(toNode(value));
  char* raw = nullptr;
  uint32_t length = 0;
  if (format == Format::kXml) {
    plist_to_xml(root.get(), &raw, &length);
  } else {
    plist_to_bin(root.get(), &raw, &length);
  }
  UniqueMallocString out(raw);
  if (!out) throw PropertyListError("property list could not be written");
  return std::string(out.get(), length);
}

const std::string* stringForKey(const Dictionary& dictionary, const std::string& key) {
  const auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : it->second.string();
}

}  // namespace platform::plist
