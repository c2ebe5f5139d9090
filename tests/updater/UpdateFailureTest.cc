#include <gtest/gtest.h>

#include <set>

#include "shared/UpdateFailure.h"

namespace {
using bramlow::UpdateFailure;
namespace markers = bramlow::markers;

TEST(UpdateFailureTest, DescriptionIsTheMessageItself) {
  const UpdateFailure failure =
      UpdateFailure::message("[[The update address is invalid. =938d90]]");
  EXPECT_EQ(failure.localizedDescription(), "[[The update address is invalid. =938d90]]");
  EXPECT_EQ(failure.errorDescription(), failure.localizedDescription());
  EXPECT_STREQ(failure.what(), "[[The update address is invalid. =938d90]]");
  EXPECT_EQ(UpdateFailure::errorCode(), 0);
  EXPECT_EQ(UpdateFailure::errorDomain(), "BramlowUpdater.UpdateFailure");
  const UpdateFailure copy = failure;
  EXPECT_EQ(copy, failure);
}

TEST(UpdateFailureTest, FailThrowsTheMarkerUnchanged) {
  try {
    bramlow::fail(markers::kLockNotOpened);
    FAIL() << "fail() returned";
  } catch (const UpdateFailure& failure) {
    EXPECT_EQ(failure.text(), markers::kLockNotOpened);
  }
}

// Checks the bare form by hand: "[[" text " =" six lowercase hex digits "]]".
bool isBareMarker(std::string_view text, std::string* identifier) {
  if (text.size() < 13 || text.substr(0, 2) != "[[" || text.substr(text.size() - 2) != "]]") {
    return false;
  }
  const std::string_view tail = text.substr(text.size() - 10, 8);  // " =xxxxxx"
  if (tail.substr(0, 2) != " =") return false;
  for (const char c : tail.substr(2)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  *identifier = std::string(tail.substr(2));
  return true;
}

TEST(UpdateFailureTest, CatalogHasOneTextPerIdentifier) {
  std::set<std::string> identifiers;
  std::set<std::string_view> texts;
  for (const std::string_view marker : markers::kCatalog) {
    std::string identifier;
    ASSERT_TRUE(isBareMarker(marker, &identifier)) << marker;
    EXPECT_TRUE(identifiers.insert(identifier).second) << "identifier used twice: " << identifier;
    const std::string_view text = marker.substr(2, marker.size() - 12);
    EXPECT_TRUE(texts.insert(text).second) << "text used twice: " << text;
  }
  EXPECT_EQ(identifiers.size(), 40u);
}

}  // namespace
