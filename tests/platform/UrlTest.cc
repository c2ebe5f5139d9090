#include <gtest/gtest.h>

#include "platform/url/Url.h"

namespace {
using platform::Url;

TEST(UrlTest, AppendingPathComponentAddsOneSegment) {
  const struct {
    const char* base;
    const char* component;
    const char* expected;
  } rows[] = {
      {"https://h/a/", "latest.json", "https://h/a/latest.json"},
      {"https://h/a", "latest.json", "https://h/a/latest.json"},
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
