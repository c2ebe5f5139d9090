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
      {"https://example.com:8443/updates", "https", "h"},
      {"https://user@example.com/", "https", "hu"},
      {"https://@example.com/", "https", "hu"},
      {"https://user:pw@example.com/", "https", "hup"},
      {"https://example.com/?", "https", "hq"},
      {"https://example.com/?a=1", "https", "hq"},
      {"https://example.com/#", "https", "hf"},
      {"https:/path", "https", ""},
      {"https:path", nullptr, ""},
      {"example.com/path", nullptr, ""},
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

TEST(UrlTest, AppendingPathComponentAddsOneSeparator) {
  EXPECT_EQ(Url::parse("https://h/a/")->appendingPathComponent("latest.json").absoluteString(),
            "https://h/a/latest.json");
  EXPECT_EQ(Url::parse("https://h/a")->appendingPathComponent("latest.json").absoluteString(),
            "https://h/a/latest.json");
  EXPECT_EQ(Url::parse("https://h:8443")->appendingPathComponent("x.dmg").absoluteString(),
            "https://h:8443/x.dmg");
}

}  // namespace
