#include "platform/url/Url.h"

#include <curl/curl.h>

#include <memory>

namespace platform {
namespace {

struct CurlUrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using UniqueCurlString = std::unique_ptr<char, CurlStringDeleter>;

std::optional<std::string> part(CURLU* handle, CURLUPart which) {
  char* raw = nullptr;
  if (curl_url_get(handle, which, &raw, 0) != CURLUE_OK) return std::nullopt;
  UniqueCurlString text(raw);
  return std::string(text ? text.get() : "");
}

// The text as one path segment: every byte that could end the segment, start a query or a
// fragment, or be read as an escape or a separator by some parser is escaped, and so is a whole
// "." or "..", which would otherwise climb out of the folder.
std::string percentEncodedComponent(std::string_view component) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const bool dotSegment = component == "." || component == "..";
  std::string out;
  out.reserve(component.size());
  for (const char c : component) {
    const auto byte = static_cast<unsigned char>(c);
    const bool escape = byte <= 0x20 || byte >= 0x7f || c == '/' || c == '?' || c == '#' ||
                        c == '%' || c == '\\' || (dotSegment && c == '.');
    if (!escape) {
      out += c;
      continue;
    }
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
  }
  return out;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) return std::nullopt;
  }
  const std::size_t colon = text.find(':');
  if (text.empty() || colon == std::string_view::npos || colon == 0) return std::nullopt;

  std::unique_ptr<CURLU, CurlUrlDeleter> handle(curl_url());
  if (!handle) return std::nullopt;
  const std::string copy(text);
  if (curl_url_set(handle.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    return std::nullopt;
  }
  Url url;
  url.text_ = copy;
  url.scheme_ = copy.substr(0, colon);  // the parser lowercases it; the text does not
  // The parser is lenient and takes "https:/name" or "https:name" as naming a host; without the
  // "//" of an authority there is none.
  const bool hasAuthority = copy.compare(colon + 1, 2, "//") == 0;
  if (hasAuthority) url.host_ = part(handle.get(), CURLUPART_HOST);
  if (url.host_ && url.host_->empty()) url.host_.reset();
  url.hasUser_ = part(handle.get(), CURLUPART_USER).has_value();
  url.hasPassword_ = part(handle.get(), CURLUPART_PASSWORD).has_value();
  // The parser drops an empty query or fragment; an unencoded "?" or "#" can only start one.
  url.hasQuery_ =
      part(handle.get(), CURLUPART_QUERY).has_value() || copy.find('?') != std::string::npos;
  url.hasFragment_ =
      part(handle.get(), CURLUPART_FRAGMENT).has_value() || copy.find('#') != std::string::npos;
  // "https://@host" has an empty user part that the parser may not report.
  const std::size_t authority = copy.find("//", colon);
  if (authority == colon + 1) {
    const std::size_t end = copy.find_first_of("/?#", authority + 2);
    const std::string_view hostPart = std::string_view(copy).substr(
        authority + 2, end == std::string::npos ? end : end - authority - 2);
    const std::size_t at = hostPart.rfind('@');
    if (at != std::string_view::npos) {
      url.hasUser_ = true;
      if (hostPart.substr(0, at).find(':') != std::string_view::npos) url.hasPassword_ = true;
    }
  }
  return url;
}

Url Url::appendingPathComponent(std::string_view component) const {
  const std::size_t tail = text_.find_first_of("?#");
  std::string head = text_.substr(0, tail);
  const std::string rest = tail == std::string::npos ? std::string() : text_.substr(tail);
  if (head.empty() || head.back() != '/') head += '/';
  head += percentEncodedComponent(component);
  Url url = *this;
  url.text_ = head + rest;
  return url;
}

}  // namespace platform
