#include "platform/PropertyList.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

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
      char* raw = nullptr;
      plist_get_string_val(node, &raw);
      UniqueMallocString s(raw);
      return Value(std::string(s ? s.get() : ""));
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

plist_t toNode(const Value& value) {
  struct Visitor {
    plist_t operator()(const std::string& s) const { return plist_new_string(s.c_str()); }
    plist_t operator()(bool b) const { return plist_new_bool(b ? 1 : 0); }
    plist_t operator()(std::int64_t i) const { return plist_new_uint(static_cast<uint64_t>(i)); }
    plist_t operator()(double d) const { return plist_new_real(d); }
    plist_t operator()(const Date& d) const {
      const auto sec = static_cast<int32_t>(d.secondsSinceReferenceDate);
      const auto usec = static_cast<int32_t>((d.secondsSinceReferenceDate - sec) * 1e6);
      return plist_new_date(sec, usec);
    }
    plist_t operator()(const Data& d) const {
      return plist_new_data(d.bytes.data(), d.bytes.size());
    }
    plist_t operator()(const Array& a) const {
      plist_t node = plist_new_array();
      for (const auto& item : a) plist_array_append_item(node, toNode(item));
      return node;
    }
    plist_t operator()(const Dictionary& d) const {
      plist_t node = plist_new_dict();
      for (const auto& [key, item] : d) plist_dict_set_item(node, key.c_str(), toNode(item));
      return node;
    }
  };
  return std::visit(Visitor{}, value.v);
}

}  // namespace

Value parse(std::string_view bytes) {
  if (bytes.empty()) throw PropertyListError("empty property list");
  if (bytes.size() > UINT32_MAX) throw PropertyListError("property list too large");
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
