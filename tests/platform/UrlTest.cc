#include <gtest/gtest.h>

#include "platform/Url.h"

namespace {
using platform::Url;

TEST(UrlTest, PartsAsWritten) {
  struct Case {
    const char* text;
    bool parses;
    const char* scheme;
    bool host, user, password, query, fragment;
  } cases[] = {
      {"https://example.com/a/", true, "https", true, false, false, false, false},
      {"HTTPS://example.com/", true, "HTTPS", true, false, false, false, false},
      {"https://example.com:8443/updates", true, "https", true, false, false, false, false},
      {"https://user@example.com/", true, "https", true, true, false, false, false},
      {"https://@example.com/", true, "https", true, true, false, false, false},
      {"https://user:pw@example.com/", true, "https", true, true, true, false, false},
      {"https://example.com/?", true, "https", true, false, false, true, false},
      {"https://example.com/?a=1", true, "https", true, false, false, true, false},
      {"https://example.com/#", true, "https", true, false, false, false, true},
      {"https:/path", true, "https", false, false, false, false, false},
      {"https:path", false, "", false, false, false, false, false},
      {"example.com/path", false, "", false, false, false, false, false},
      {"https://exa mple.com/", false, "", false, false, false, false, false},
      {"https://example.com/\n", false, "", false, false, false, false, false},
      {"", false, "", false, false, false, false, false},
      {"://x", false, "", false, false, false, false, false},
  };
  for (const auto& c : cases) {
    const auto url = Url::parse(c.text);
    ASSERT_EQ(url.has_value(), c.parses) << c.text;
    if (!url) continue;
    EXPECT_EQ(url->absoluteString(), c.text);
    EXPECT_EQ(url->scheme(), c.scheme) << c.text;
    EXPECT_EQ(url->host().has_value(), c.host) << c.text;
    EXPECT_EQ(url->hasUser(), c.user) << c.text;
    EXPECT_EQ(url->hasPassword(), c.password) << c.text;
    EXPECT_EQ(url->hasQuery(), c.query) << c.text;
    EXPECT_EQ(url->hasFragment(), c.fragment) << c.text;
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
