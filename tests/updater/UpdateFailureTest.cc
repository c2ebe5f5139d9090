#include <gtest/gtest.h>

#include <set>

#include "shared/UpdateFailure.h"

namespace {
namespace markers = bramlow::markers;

TEST(UpdateFailureTest, EachMarkerIsWellFormedAndUnique) {
  std::set<std::string_view> identifiers;
  std::set<std::string_view> texts;
  for (const std::string_view marker : markers::kCatalog) {
    // "[[" text " =" six lower-case hexadecimal digits "]]"
    ASSERT_GE(marker.size(), 13u) << marker;
    const std::string_view identifier = marker.substr(marker.size() - 8, 6);
    EXPECT_TRUE(marker.starts_with("[[") && marker.ends_with("]]")) << marker;
    EXPECT_EQ(marker.substr(marker.size() - 10, 2), " =") << marker;
    EXPECT_EQ(identifier.find_first_not_of("0123456789abcdef"), std::string_view::npos) << marker;
    EXPECT_TRUE(identifiers.insert(identifier).second) << marker;
    EXPECT_TRUE(texts.insert(marker.substr(2, marker.size() - 12)).second) << marker;
  }
}

}  // namespace
