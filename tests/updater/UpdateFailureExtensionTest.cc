// Linked against the extension's copy of the shared code, which must name its own executable.
#include <gtest/gtest.h>

#include "shared/UpdateFailure.h"

namespace {

TEST(UpdateFailureExtensionTest, TheExtensionsCopyReportsItsOwnDomain) {
  EXPECT_EQ(bramlow::UpdateFailure::errorDomain(), "Bramlow_for_Safari_Extension.UpdateFailure");
  EXPECT_EQ(bramlow::UpdateFailure::errorCode(), 0);
}

}  // namespace
