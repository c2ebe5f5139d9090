// Absolute URLs, parsed with libcurl's URL parser. The text is kept exactly as written: the
// absolute string of a URL is the text it was made from.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class Url {
 public:
  // nullopt when the text is not a URL with a scheme (spaces and control characters refused).
  static std::optional<Url> parse(std::string_view text);

  const std::string& absoluteString() const { return text_; }
  // The scheme exactly as written, letter case kept.
  const std::string& scheme() const { return scheme_; }
  const std::optional<std::string>& host() const { return host_; }
  // Present also when empty, as in "https://@host/" or a URL ending in "?" or "#".
  bool hasUser() const { return hasUser_; }
  bool hasPassword() const { return hasPassword_; }
  bool hasQuery() const { return hasQuery_; }
  bool hasFragment() const { return hasFragment_; }

  // The URL with one more path component: a "/" is added first unless the path already ends in
  // one. Query and fragment, if any, stay at the end. The component stays one segment whatever it
  // holds: "/", "?", "#", "%", "\\", spaces, control characters and bytes outside ASCII are
  // percent-encoded, and so are the dots of a "." or "..".
  Url appendingPathComponent(std::string_view component) const;

  bool operator==(const Url& other) const { return text_ == other.text_; }

 private:
  std::string text_;
  std::string scheme_;
  std::optional<std::string> host_;
  bool hasUser_ = false;
  bool hasPassword_ = false;
  bool hasQuery_ = false;
  bool hasFragment_ = false;
};

}  // namespace platform
