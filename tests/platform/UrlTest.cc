#include <gtest/gtest.h>

#include "platform/Url.h"

namespace {
using platform::Url;

TEST(UrlTest, PartsAsWritten) {
  // parts: h host, u user, p password, q query, f fragment; scheme null: does not parse.
  const struct {
    const char* text;
    const char* scheme;
    const char* parts;
  } cases[] = {
      {"https://example.com/a/", "https", "h"},
      {"HTTPS://example.com/", "HTTPS", "h"},
      {"https://user@example.com/", "https", "hu"},
      {"https://@example.com/", "https", "hu"},
      {"https://user:pw@example.com/", "https", "hup"},
      {"https://example.com/?", "https", "hq"},
      {"https://example.com/#", "https", "hf"},
      {"https:/path", "https", ""},
      {"https:path", nullptr, ""},
      {"https://exa mple.com/", nullptr, ""},
      {"https://example.com/\n", nullptr, ""},
      {"", nullptr, ""},
      {"://x", nullptr, ""},
  };
  for (const auto& c : cases) {
    const auto url = Url::parse(c.text);
    ASSERT_EQ(url.has_value(), c.scheme != nullptr) << c.text;
    if (!url) continue;
    EXPECT_EQ(url->absoluteString(), c.text);
    EXPECT_EQ(url->scheme(), c.scheme) << c.text;
    const std::string parts = std::string(url->host() ? "h" : "") + (url->hasUser() ? "u" : "") +
                              (url->hasPassword() ? "p" : "") + (url->hasQuery() ? "q" : "") +
                              (url->hasFragment() ? "f" : "");
    EXPECT_EQ(parts, c.parts) << c.text;
  }
}

TEST(UrlTest, AppendingPathComponentAddsOneSegment) {
  const struct {
    const char* base;
    const char* component;
    const char* expected;
  } rows[] = {
      {"https://h/a/", "latest.json", "https://h/a/latest.json"},
      {"https://h/a", "latest.json", "https://h/a/latest.json"},
      {"https://h:8443", "x.dmg", "https://h:8443/x.dmg"},
      {"https://h/a/?q=1", "x.dmg", "https://h/a/x.dmg?q=1"},
      // Nothing in the text may leave the folder or turn into a query, fragment or escape.
      {"https://h/a/", "../b/x.dmg", "https://h/a/..%2Fb%2Fx.dmg"},
      {"https://h/a/", "..", "https://h/a/%2E%2E"},
      {"https://h/a/", "x.dmg?y#z", "https://h/a/x.dmg%3Fy%23z"},
      {"https://h/a/", "100% a\\b\t\x7f\xC3\xA9", "https://h/a/100%25%20a%5Cb%09%7F%C3%A9"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Url::parse(row.base)->appendingPathComponent(row.component).absoluteString(),
              row.expected)
        << row.component;
  }
}

}  // namespace
